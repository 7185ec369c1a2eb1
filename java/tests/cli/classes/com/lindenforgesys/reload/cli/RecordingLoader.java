package com.lindenforgesys.reload.cli;

import java.util.ArrayList;
import java.util.List;

/** A system class loader whose appendToClassPathForInstrumentation records the path and adds nothing. */
public class RecordingLoader extends ClassLoader {
    static final List<String> appended = new ArrayList<String>();

    public RecordingLoader(ClassLoader parent) {
        super(parent);
    }

    void appendToClassPathForInstrumentation(String path) {
        appended.add(path);
    }
}
