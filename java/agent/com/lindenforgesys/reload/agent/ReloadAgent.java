package com.lindenforgesys.reload.agent;

import java.io.File;
import java.lang.instrument.Instrumentation;

/**
 * The reference class reloader, the agent jar's Premain-Class: a daemon
 * thread watches the folders named by "vesta.reload.dirs" and redefines a
 * loaded class when its class file changes. The "vesta.test." properties add
 * the transformers the tests steer (see TestTransformers).
 */
public final class ReloadAgent {
    private static volatile Instrumentation instrumentation;

    private ReloadAgent() {
    }

    /** What premain received, for test programs; null before premain ran. */
    public static Instrumentation instrumentation() {
        return instrumentation;
    }

    public static void premain(String options, Instrumentation inst) {
        // In the child JVM that writes the bootstrap jar the agent only
        // brings the installer onto the class path.
        if (Boolean.getBoolean("vesta.pelican.bootstrap_run")) {
            return;
        }
        if (Boolean.getBoolean("vesta.test.premainThrow")) {
            throw new IllegalStateException("premain failure requested");
        }
        instrumentation = inst;
        TestTransformers.install(inst);
        String dirs = System.getProperty("vesta.reload.dirs");
        if (dirs != null && !dirs.isEmpty()) {
            Thread watcher = new Thread(new ClassFileWatcher(inst, dirs.split(File.pathSeparator)),
                                        "tarsil-reload-watcher");
            watcher.setDaemon(true);
            watcher.start();
        }
    }

    /** Appends the class offers recorded so far to the "vesta.test.record" file. */
    public static void flushRecord() {
        TestTransformers.flushRecord();
    }
}
