package com.lindenforgesys.reload.cli;

/** A system class loader as the JDK accepts it, and no more: no appendToClassPathForInstrumentation. */
public class PlainLoader extends ClassLoader {
    public PlainLoader(ClassLoader parent) {
        super(parent);
    }
}
