package com.lindenforgesys.reload.agent;

import java.io.File;
import java.io.FileWriter;
import java.io.IOException;
import java.io.Writer;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.nio.file.Files;
import java.security.ProtectionDomain;
import java.util.concurrent.ConcurrentLinkedQueue;

/**
 * The transformers that the "vesta.test." system properties ask for. They
 * let the JVM tests see what the library offers to Java and steer what Java
 * answers. Nothing is registered unless one of the properties is set.
 */
public final class TestTransformers {
    private static volatile Recorder recorder;

    private TestTransformers() {
    }

    static void install(Instrumentation inst) {
        String recordFile = System.getProperty("vesta.test.record");
        String replace = System.getProperty("vesta.test.replace");
        String throwFor = System.getProperty("vesta.test.throwFor");
        String nested = System.getProperty("vesta.test.nested");
        if (recordFile != null) {
            recorder = new Recorder(recordFile);
            Runtime.getRuntime().addShutdownHook(new Thread(new Runnable() {
                public void run() {
                    flushRecord();
                }
            }, "tarsil-record-flush"));
        }
        if (recordFile != null || replace != null || throwFor != null || nested != null) {
            String[] replacePair = split(replace, '=', "vesta.test.replace", "<internal/Name>=<file.class>");
            String[] nestedPair = split(nested, ':', "vesta.test.nested", "<internal/A>:<dotted.B>");
            byte[] replacement = replacePair == null ? null : read(replacePair[1]);
            Steering plain = new Steering(false, recorder, replacePair == null ? null : replacePair[0], replacement,
                                          throwFor, nestedPair == null ? null : nestedPair[0],
                                          nestedPair == null ? null : nestedPair[1]);
            Steering retransforming = new Steering(true, recorder, null, null, null, null, null);
            warmUp(plain);
            warmUp(retransforming);
            if (recorder != null) {
                recorder.discard();
            }
            inst.addTransformer(plain, false);
            inst.addTransformer(retransforming, true);
        }
        if (Boolean.getBoolean("vesta.test.noop")) {
            inst.addTransformer(new Noop(), true);
        }
    }

    /** Appends the offers recorded so far to the record file; nothing without "vesta.test.record". */
    public static void flushRecord() {
        Recorder current = recorder;
        if (current != null) {
            current.flush();
        }
    }

    /**
     * The two halves of a property value around the first separator; null
     * for an unset property. A malformed value is worth ending the JVM for:
     * the test would otherwise check the wrong thing.
     */
    public static String[] split(String value, char separator, String property, String form) {
        if (value == null) {
            return null;
        }
        int at = value.indexOf(separator);
        if (at <= 0 || at == value.length() - 1) {
            throw new IllegalArgumentException(property + " must be " + form + ", not " + value);
        }
        return new String[] {value.substring(0, at), value.substring(at + 1)};
    }

    private static byte[] read(String file) {
        try {
            return Files.readAllBytes(new File(file).toPath());
        } catch (IOException e) {
            throw new IllegalArgumentException("vesta.test.replace: cannot read " + file, e);
        }
    }

    // Runs each path of a transformer once before it is registered, so that
    // the classes those paths need are loaded already and are never first
    // loaded from inside the class-file hook.
    private static void warmUp(ClassFileTransformer transformer) {
        try {
            transformer.transform(null, "warm/Up", null, null, new byte[0]);
            transformer.transform(null, "warm/Up", Object.class, null, new byte[0]);
        } catch (Exception e) {
            throw new IllegalStateException(e);
        }
    }

    /** Collects "<false|true> <internal/Name> <load|redefine>" lines, written out on demand. */
    public static final class Recorder {
        private final String file;
        private final ConcurrentLinkedQueue<String> lines = new ConcurrentLinkedQueue<String>();

        /** Empties the file: each JVM writes its record afresh. */
        public Recorder(String file) {
            this.file = file;
            write(false);
        }

        void record(boolean retransform, String className, Class<?> classBeingRedefined) {
            lines.add(retransform + " " + className + " " + (classBeingRedefined != null ? "redefine" : "load"));
        }

        void discard() {
            lines.clear();
        }

        public synchronized void flush() {
            write(true);
        }

        private void write(boolean append) {
            try (Writer out = new FileWriter(file, append)) {
                for (String line; (line = lines.poll()) != null;) {
                    out.write(line);
                    out.write('\n');
                }
            } catch (IOException e) {
                System.err.println("[tarsil-agent] Could not write " + file + ": " + e);
            }
        }
    }

    /**
     * Records every offer and, registered as the plain transformer, applies
     * "vesta.test.replace", "vesta.test.throwFor" and "vesta.test.nested".
     */
    public static final class Steering implements ClassFileTransformer {
        private final boolean retransform;
        private final Recorder recorder;
        private final String replaceName;
        private final byte[] replacement;
        private final String throwFor;
        private final String nestedOuter;
        private final String nestedInner;

        /** Null arguments switch the matching behaviour off. */
        public Steering(boolean retransform, Recorder recorder, String replaceName, byte[] replacement,
                        String throwFor, String nestedOuter, String nestedInner) {
            this.retransform = retransform;
            this.recorder = recorder;
            this.replaceName = replaceName;
            this.replacement = replacement;
            this.throwFor = throwFor;
            this.nestedOuter = nestedOuter;
            this.nestedInner = nestedInner;
        }

        public byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                                ProtectionDomain protectionDomain, byte[] classfileBuffer) {
            if (recorder != null) {
                recorder.record(retransform, className, classBeingRedefined);
            }
            if (className == null) {
                return null;
            }
            if (className.equals(throwFor)) {
                throw new RuntimeException("transformer failure requested for " + className);
            }
            if (className.equals(nestedOuter)) {
                // B's first load happens here, on this thread, inside the hook.
                try {
                    Class.forName(nestedInner, false, loader != null ? loader : ClassLoader.getSystemClassLoader());
                } catch (ClassNotFoundException e) {
                    throw new IllegalStateException("vesta.test.nested: " + nestedInner + " not found", e);
                }
            }
            if (className.equals(replaceName)) {
                return replacement.clone();
            }
            return null;
        }
    }

    /** Changes nothing; the benchmark measures the cost of the path itself. */
    public static final class Noop implements ClassFileTransformer {
        public byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                                ProtectionDomain protectionDomain, byte[] classfileBuffer) {
            return null;
        }
    }
}
