package com.lindenforgesys.reload.jvmti;

import java.lang.instrument.ClassDefinition;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * MinimalInstrumentation with the natives replaced by recorders, for the
 * pure Java tests (it must share the runtime package, so both jars go on
 * the class path and no library is loaded).
 */
public final class RecordingNatives extends MinimalInstrumentation {
    /** What getAllLoadedClassesImpl answers. */
    public volatile Class<?>[] loaded;
    public final List<Object> calls = new ArrayList<Object>();
    /** Set, setNativeMethodPrefixesImpl is unbound too. */
    public volatile boolean older;

    @Override
    synchronized Class<?>[] getAllLoadedClassesImpl() {
        calls.add("getAllLoadedClassesImpl");
        return loaded;
    }

    @Override
    synchronized void setNativeMethodPrefixImpl(String prefix) {
        calls.add("setNativeMethodPrefixImpl");
        calls.add(prefix);
    }

    @Override
    synchronized void retransformClassesImpl(Class<?>[] classes) {
        calls.add("retransformClassesImpl");
        calls.add(classes);
    }

    @Override
    synchronized void redefineClassesImpl(ClassDefinition[] definitions) {
        calls.add("redefineClassesImpl");
        calls.add(definitions);
    }

    // Of the natives beyond the four only this one is recorded: without a
    // library the others are unbound, as with a library older than them.
    @Override
    synchronized void setNativeMethodPrefixesImpl(String[] prefixes, boolean retransformCapable) {
        if (older) {
            throw new UnsatisfiedLinkError("setNativeMethodPrefixesImpl");
        }
        calls.addAll(Arrays.asList("setNativeMethodPrefixesImpl", Arrays.asList(prefixes), retransformCapable));
    }
}
