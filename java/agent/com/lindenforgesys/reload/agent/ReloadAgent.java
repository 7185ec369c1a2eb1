package com.lindenforgesys.reload.agent;

import java.io.File;
import java.io.FileWriter;
import java.io.IOException;
import java.io.Writer;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.nio.file.Files;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentLinkedQueue;

/**
 * The reference class reloader: watches the folders named by
 * "vesta.reload.dirs" and redefines a loaded class when its class file
 * changes. The "vesta.test." properties steer it for the tests.
 */
public final class ReloadAgent {
    private static volatile Instrumentation instrumentation;
    private static final ConcurrentLinkedQueue<String> recorded = new ConcurrentLinkedQueue<String>();
    private static String recordFile;

    private ReloadAgent() {
    }

    public static Instrumentation instrumentation() {
        return instrumentation;
    }

    public static void premain(String options, Instrumentation inst) {
        if (Boolean.getBoolean("vesta.test.premainThrow")) {
            throw new IllegalStateException("premain failure requested");
        }
        instrumentation = inst;
        installTestTransformers(inst);
        String dirs = System.getProperty("vesta.reload.dirs");
        if (dirs != null && !dirs.isEmpty()) {
            Thread watcher = new Thread(new Watcher(inst, dirs.split(File.pathSeparator)), "tarsil-reload-watcher");
            watcher.setDaemon(true);
            watcher.start();
        }
    }

    /** Writes the recorded class offers to the record file. */
    public static synchronized void flushRecord() {
        if (recordFile == null) {
            return;
        }
        try (Writer out = new FileWriter(recordFile, true)) {
            for (String line; (line = recorded.poll()) != null;) {
                out.write(line);
                out.write('\n');
            }
        } catch (IOException e) {
            System.err.println("[tarsil-agent] Could not write " + recordFile + ": " + e);
        }
    }

    private static void installTestTransformers(Instrumentation inst) {
        recordFile = System.getProperty("vesta.test.record");
        final String replace = System.getProperty("vesta.test.replace");
        final String throwFor = System.getProperty("vesta.test.throwFor");
        final String nested = System.getProperty("vesta.test.nested");
        if (recordFile != null) {
            // Each JVM writes the record afresh.
            try {
                new FileWriter(recordFile, false).close();
            } catch (IOException e) {
                System.err.println("[tarsil-agent] Could not write " + recordFile + ": " + e);
            }
            Runtime.getRuntime().addShutdownHook(new Thread(new Runnable() {
                public void run() {
                    flushRecord();
                }
            }));
        }
        if (recordFile != null || replace != null || throwFor != null || nested != null) {
            inst.addTransformer(warmedUp(new TestTransformer(false, replace, throwFor, nested)), false);
            inst.addTransformer(warmedUp(new TestTransformer(true, null, null, null)), true);
            recorded.clear();
        }
        if (Boolean.getBoolean("vesta.test.noop")) {
            inst.addTransformer(new ClassFileTransformer() {
                public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain pd,
                                        byte[] bytes) {
                    return null;
                }
            }, true);
        }
    }

    // Runs a transformer once before it is registered, so that the classes its
    // path needs are loaded already and never have to be loaded from inside
    // the class-file hook.
    private static ClassFileTransformer warmedUp(ClassFileTransformer transformer) {
        try {
            transformer.transform(null, "warm/Up", null, null, new byte[0]);
            transformer.transform(null, "warm/Up", Object.class, null, new byte[0]);
        } catch (Exception e) {
            throw new IllegalStateException(e);
        }
        return transformer;
    }

    private static final class TestTransformer implements ClassFileTransformer {
        private final boolean retransform;
        private final String replaceName;
        private final String replaceFile;
        private final String throwFor;
        private final String nestedOuter;
        private final String nestedInner;

        TestTransformer(boolean retransform, String replace, String throwFor, String nested) {
            this.retransform = retransform;
            int eq = replace == null ? -1 : replace.indexOf('=');
            this.replaceName = eq < 0 ? null : replace.substring(0, eq);
            this.replaceFile = eq < 0 ? null : replace.substring(eq + 1);
            this.throwFor = throwFor;
            int colon = nested == null ? -1 : nested.indexOf(':');
            this.nestedOuter = colon < 0 ? null : nested.substring(0, colon);
            this.nestedInner = colon < 0 ? null : nested.substring(colon + 1);
        }

        public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain pd,
                                byte[] bytes) {
            if (recordFile != null) {
                recorded.add(retransform + " " + name + " " + (redefined != null ? "redefine" : "load"));
            }
            if (name == null) {
                return null;
            }
            if (name.equals(throwFor)) {
                throw new RuntimeException("transformer failure requested for " + name);
            }
            if (name.equals(nestedOuter)) {
                try {
                    Class.forName(nestedInner, false, loader);
                } catch (ClassNotFoundException e) {
                    throw new IllegalStateException(e);
                }
            }
            if (name.equals(replaceName)) {
                try {
                    return Files.readAllBytes(new File(replaceFile).toPath());
                } catch (IOException e) {
                    throw new IllegalStateException(e);
                }
            }
            return null;
        }
    }

    /**
     * Polls the watched folders. {@link #scan} reports the classes whose class
     * files changed since the previous scan; {@link #run} redefines those that
     * are loaded.
     */
    public static final class Watcher implements Runnable {
        private final Instrumentation inst;
        private final File[] roots;
        private final Map<File, byte[]> known = new HashMap<File, byte[]>();
        private final Map<File, long[]> stamps = new HashMap<File, long[]>();
        private boolean snapshotTaken;

        /** Takes the first snapshot: what is there now does not count as a change. */
        public Watcher(Instrumentation inst, String[] dirs) {
            this.inst = inst;
            List<File> existing = new ArrayList<File>();
            for (String dir : dirs) {
                if (!dir.isEmpty()) {
                    existing.add(new File(dir));
                }
            }
            this.roots = existing.toArray(new File[0]);
            scan();
            snapshotTaken = true;
        }

        public void run() {
            while (true) {
                try {
                    Thread.sleep(200);
                } catch (InterruptedException e) {
                    return;
                }
                for (Map.Entry<String, byte[]> changed : scan().entrySet()) {
                    reload(changed.getKey(), changed.getValue());
                }
            }
        }

        /** Dotted class names and new contents of the class files that changed or appeared. */
        public Map<String, byte[]> scan() {
            Map<String, byte[]> changed = new LinkedHashMap<String, byte[]>();
            for (File root : roots) {
                walk(root, root, changed);
            }
            return changed;
        }

        private void walk(File root, File dir, Map<String, byte[]> changed) {
            File[] files = dir.listFiles();
            if (files == null) {
                return;
            }
            Arrays.sort(files);
            for (File file : files) {
                if (file.isDirectory()) {
                    walk(root, file, changed);
                } else if (file.getName().endsWith(".class")) {
                    check(root, file, changed);
                }
            }
        }

        private void check(File root, File file, Map<String, byte[]> changed) {
            // Reading is skipped while time stamp and length stay the same.
            long[] stamp = {file.lastModified(), file.length()};
            long[] previous = stamps.get(file);
            if (previous != null && Arrays.equals(previous, stamp)) {
                return;
            }
            byte[] bytes;
            try {
                bytes = Files.readAllBytes(file.toPath());
            } catch (IOException e) {
                return;     // Being rewritten or gone: the next scan sees it.
            }
            stamps.put(file, stamp);
            byte[] old = known.put(file, bytes);
            if (snapshotTaken && (old == null || !Arrays.equals(old, bytes))) {
                changed.put(className(root, file), bytes);
            }
        }

        static String className(File root, File file) {
            String relative = root.toURI().relativize(file.toURI()).getPath();
            return relative.substring(0, relative.length() - ".class".length()).replace('/', '.');
        }

        private void reload(String name, byte[] bytes) {
            for (Class<?> loaded : inst.getAllLoadedClasses()) {
                if (loaded.getName().equals(name)) {
                    try {
                        inst.redefineClasses(new ClassDefinition(loaded, bytes));
                        System.err.println("[tarsil-agent] Reloaded " + name);
                    } catch (Throwable e) {
                        System.err.println("[tarsil-agent] Could not reload " + name + ": " + e);
                    }
                    return;
                }
            }
        }
    }
}
