package com.lindenforgesys.reload.cli;

import java.lang.reflect.Method;
import java.util.Arrays;

/**
 * Prints what a command line gave it: its arguments, the system class
 * loader, the security manager, one system property and, where the release
 * has them, whether java.lang is open to it and whether it may call native
 * code. The module API is reached by reflection: this class loads on Java 8.
 */
public class Echo {
    public static void main(String[] args) throws Exception {
        SecurityManager security = System.getSecurityManager();
        System.out.println("Echo args=" + Arrays.toString(args));
        System.out.println("loader=" + ClassLoader.getSystemClassLoader().getClass().getName());
        System.out.println("security=" + (security == null ? "none" : security.getClass().getName()));
        System.out.println("note=" + note());
        System.out.println("java.lang open=" + moduleFact("isOpen"));
        System.out.println("native access=" + moduleFact("isNativeAccessEnabled"));
    }

    private static String note() {
        try {
            return System.getProperty("cli.note");
        } catch (SecurityException denied) {
            return "denied";
        }
    }

    // "n/a" where the release has no such method.
    private static String moduleFact(String name) throws Exception {
        Method getModule;
        try {
            getModule = Class.class.getMethod("getModule");
        } catch (NoSuchMethodException java8) {
            return "n/a";
        }
        Object own = getModule.invoke(Echo.class);
        Class<?> module = own.getClass();
        if (name.equals("isOpen")) {
            Object base = getModule.invoke(Object.class);
            return String.valueOf(module.getMethod(name, String.class, module).invoke(base, "java.lang", own));
        }
        try {
            return String.valueOf(module.getMethod(name).invoke(own));
        } catch (NoSuchMethodException older) {
            return "n/a";
        }
    }
}
