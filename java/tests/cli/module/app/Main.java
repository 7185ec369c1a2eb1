package app;

import java.util.Arrays;

/** The main class of the module app: prints its module, its arguments and whether java.lang is open to it. */
public class Main {
    public static void main(String[] args) {
        Module own = Main.class.getModule();
        System.out.println("app.Main module=" + own.getName() + " args=" + Arrays.toString(args));
        System.out.println("java.lang open=" + Object.class.getModule().isOpen("java.lang", own));
    }
}
