package com.lindenforgesys.reload.test;

import com.lindenforgesys.reload.agent.ReloadAgent;
import com.lindenforgesys.reload.jvmti.MinimalInstrumentation;
import java.io.File;
import java.io.IOException;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.IllegalClassFormatException;
import java.lang.instrument.Instrumentation;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Map;

/**
 * Checks of the Java side that need no native library: the adapter's routing
 * and chaining, the premain hand-off, the watcher's change detection and the
 * generated classes. Run with tarsil.jar on the class path, without the
 * agent; exits 1 when a check fails.
 */
public final class JavaSelfTest {
    private static int failures;
    private static int checks;

    private JavaSelfTest() {
    }

    public static void main(String[] args) throws Throwable {
        adapterRoutesByFlagAndChains();
        adapterWithoutTransformersReturnsNull();
        removedTransformerIsNotCalled();
        adapterAnswersTheFixedQuestions();
        premainReceivesOptionsAndTheAdapter();
        premainFallsBackToTheOneArgumentForm();
        premainFailureIsThrownUnwrapped();
        reportWritesTheFourArguments();
        watcherReportsChangedClassFilesOnly();
        generatedClassesLoad();
        System.out.println(failures == 0 ? "OK JavaSelfTest (" + checks + " checks)"
                                         : "FAIL JavaSelfTest: " + failures + " of " + checks + " checks failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    private static void check(boolean condition, String what) {
        checks++;
        if (!condition) {
            failures++;
            System.out.println("FAIL " + what);
        }
    }

    /** Appends its tag to the class bytes and remembers what it saw. */
    static final class Tagging implements ClassFileTransformer {
        final String tag;
        final List<String> seen = Collections.synchronizedList(new ArrayList<String>());

        Tagging(String tag) {
            this.tag = tag;
        }

        @Override
        public byte[] transform(ClassLoader loader, String className, Class<?> redefined, ProtectionDomain pd,
                                byte[] bytes) {
            seen.add(className + ":" + new String(bytes, StandardCharsets.UTF_8));
            return (new String(bytes, StandardCharsets.UTF_8) + tag).getBytes(StandardCharsets.UTF_8);
        }
    }

    private static String text(byte[] bytes) {
        return bytes == null ? null : new String(bytes, StandardCharsets.UTF_8);
    }

    private static byte[] bytes(String text) {
        return text.getBytes(StandardCharsets.UTF_8);
    }

    private static void adapterRoutesByFlagAndChains() {
        MinimalInstrumentation natives = new MinimalInstrumentation();
        Instrumentation inst = natives.instrumentation();
        Tagging plainA = new Tagging("+a");
        Tagging plainB = new Tagging("+b");
        Tagging retransforming = new Tagging("+r");
        inst.addTransformer(plainA, false);
        inst.addTransformer(retransforming, true);
        inst.addTransformer(plainB);
        ClassFileTransformer declining = new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader l, String n, Class<?> c, ProtectionDomain p, byte[] b) {
                return null;
            }
        };
        inst.addTransformer(declining, false);

        byte[] result = natives.transform(null, null, "p/C", null, null, bytes("x"), false);
        check("x+a+b".equals(text(result)), "plain transformers chain in order, got " + text(result));
        check(plainB.seen.equals(Arrays.asList("p/C:x+a")), "the second gets the first's bytes: " + plainB.seen);
        check(retransforming.seen.isEmpty(), "a retransforming transformer ignores false: " + retransforming.seen);

        byte[] retransformed = natives.transform(null, "p/D", null, null, bytes("y"), true);
        check("y+r".equals(text(retransformed)), "the flag true reaches only the retransforming one, got "
                                                  + text(retransformed));
        check(plainA.seen.size() == 1, "a plain transformer ignores true: " + plainA.seen);
    }

    private static void adapterWithoutTransformersReturnsNull() throws Exception {
        MinimalInstrumentation natives = new MinimalInstrumentation();
        check(natives.transform(null, null, "p/C", null, null, bytes("x"), false) == null, "no plain transformers");
        natives.instrumentation().addTransformer(new Tagging("+r"), true);
        check(natives.transform(null, null, "p/C", null, null, bytes("x"), false) == null,
              "only a retransforming transformer: false is untouched");
        ClassFileTransformer failingFormat = new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader l, String n, Class<?> c, ProtectionDomain p, byte[] b)
                    throws IllegalClassFormatException {
                throw new IllegalClassFormatException("bad");
            }
        };
        natives.instrumentation().addTransformer(failingFormat, false);
        check(natives.transform(null, null, "p/C", null, null, bytes("x"), false) == null,
              "an IllegalClassFormatException counts as no change");
    }

    private static void removedTransformerIsNotCalled() {
        MinimalInstrumentation natives = new MinimalInstrumentation();
        Instrumentation inst = natives.instrumentation();
        Tagging both = new Tagging("+t");
        inst.addTransformer(both, false);
        inst.addTransformer(both, true);
        // As with the JDK, each call removes one registration, the plain one first.
        check(inst.removeTransformer(both), "removing a registered transformer");
        check(natives.transform(null, null, "p/C", null, null, bytes("x"), false) == null,
              "the plain registration is removed first");
        check(inst.removeTransformer(both), "removing the second registration");
        check(!inst.removeTransformer(new Tagging("+u")), "removing an unknown transformer");
        check(natives.transform(null, null, "p/C", null, null, bytes("x"), false) == null
              && natives.transform(null, null, "p/C", null, null, bytes("x"), true) == null,
              "a removed transformer is gone from both lists");
    }

    private static void adapterAnswersTheFixedQuestions() {
        Instrumentation inst = new MinimalInstrumentation().instrumentation();
        check(inst.isRedefineClassesSupported() && inst.isRetransformClassesSupported()
              && inst.isNativeMethodPrefixSupported(), "supported features");
        check(inst.isModifiableClass(String.class), "String is modifiable");
        check(!inst.isModifiableClass(int.class), "int is not modifiable");
        check(!inst.isModifiableClass(String[].class), "arrays are not modifiable");
        check(inst.isModifiableModule(Object.class.getModule()), "modules count as modifiable");
        check(throwsUnsupported(() -> inst.getObjectSize("x")), "getObjectSize");
        check(throwsUnsupported(() -> inst.appendToSystemClassLoaderSearch(null)), "appendToSystemClassLoaderSearch");
        check(throwsUnsupported(() -> inst.appendToBootstrapClassLoaderSearch(null)),
              "appendToBootstrapClassLoaderSearch");
        check(throwsUnsupported(() -> inst.redefineModule(Object.class.getModule(), null, null, null, null, null)),
              "redefineModule");
    }

    private static boolean throwsUnsupported(Runnable action) {
        try {
            action.run();
            return false;
        } catch (UnsupportedOperationException expected) {
            return true;
        }
    }

    /** Premain classes for the hand-off checks. */
    public static final class TwoArgumentAgent {
        static String options;
        static Instrumentation inst;

        public static void premain(String options, Instrumentation inst) {
            TwoArgumentAgent.options = options;
            TwoArgumentAgent.inst = inst;
        }

        public static void premain(String options) {
            TwoArgumentAgent.options = "wrong overload";
        }
    }

    public static final class OneArgumentAgent {
        static String options = "not called";

        public static void premain(String options) {
            OneArgumentAgent.options = options;
        }
    }

    public static final class ThrowingAgent {
        public static void premain(String options, Instrumentation inst) {
            throw new IllegalStateException("from premain");
        }
    }

    private static void premainReceivesOptionsAndTheAdapter() throws Throwable {
        MinimalInstrumentation natives = new MinimalInstrumentation();
        natives.loadClassAndCallPremain(TwoArgumentAgent.class.getName(), "a=1,b", "/lib.so", null);
        check("a=1,b".equals(TwoArgumentAgent.options), "premain options: " + TwoArgumentAgent.options);
        check(TwoArgumentAgent.inst == natives.instrumentation(), "premain gets the adapter");
    }

    private static void premainFallsBackToTheOneArgumentForm() throws Throwable {
        new MinimalInstrumentation().loadClassAndCallPremain(OneArgumentAgent.class.getName(), null, "/lib.so", null);
        check(OneArgumentAgent.options == null, "premain(String) called with null: " + OneArgumentAgent.options);
    }

    private static void premainFailureIsThrownUnwrapped() {
        try {
            new MinimalInstrumentation().loadClassAndCallPremain(ThrowingAgent.class.getName(), null, "/x", null);
            check(false, "a failing premain must throw");
        } catch (Throwable e) {
            check(e instanceof IllegalStateException && "from premain".equals(e.getMessage()),
                  "premain's own exception comes through: " + e);
        }
    }

    private static void reportWritesTheFourArguments() throws Throwable {
        Path report = Files.createTempFile("tarsil-report", ".txt");
        String previous = System.getProperty("vesta.test.report");
        System.setProperty("vesta.test.report", report.toString());
        try {
            new MinimalInstrumentation().loadClassAndCallPremain("", null, "/opt/lib/libtarsil64.so", null);
            new MinimalInstrumentation().loadClassAndCallPremain(OneArgumentAgent.class.getName(), "x=y", null,
                                                                 "/b.jar");
        } finally {
            if (previous == null) {
                System.clearProperty("vesta.test.report");
            } else {
                System.setProperty("vesta.test.report", previous);
            }
        }
        List<String> lines = Files.readAllLines(report, StandardCharsets.UTF_8);
        Files.delete(report);
        check(lines.equals(Arrays.asList(
                  "premain premainClass= options=null library=/opt/lib/libtarsil64.so bootstrap=null",
                  "premain premainClass=" + OneArgumentAgent.class.getName()
                      + " options=x=y library=null bootstrap=/b.jar")),
              "report lines: " + lines);
        check("x=y".equals(OneArgumentAgent.options), "the premain named in the second call ran");
    }

    private static void write(Path file, String content, long modified) throws IOException {
        Files.createDirectories(file.getParent());
        Files.write(file, bytes(content));
        file.toFile().setLastModified(modified);
    }

    private static void watcherReportsChangedClassFilesOnly() throws IOException {
        Path first = Files.createTempDirectory("tarsil-watch-a");
        Path second = Files.createTempDirectory("tarsil-watch-b");
        long time = System.currentTimeMillis() - 100000;
        write(first.resolve("p/q/A.class"), "one", time);
        write(first.resolve("p/B.class"), "bee", time);
        write(first.resolve("notes.txt"), "text", time);
        write(second.resolve("C.class"), "sea", time);

        ReloadAgent.Watcher watcher = new ReloadAgent.Watcher(null, new String[] {
            first.toString(), "", second.toString(), first.resolve("missing").toString()});
        check(watcher.scan().isEmpty(), "nothing changed since the snapshot");

        write(first.resolve("p/q/A.class"), "two", time + 2000);
        write(first.resolve("p/B.class"), "bee", time + 4000);      // touched, same content
        write(first.resolve("notes.txt"), "more text", time + 2000);
        write(second.resolve("C.class"), "SEA", time);              // same stamp and length: not read
        Map<String, byte[]> changed = watcher.scan();
        check(changed.keySet().equals(Collections.singleton("p.q.A")), "only A changed: " + changed.keySet());
        check("two".equals(text(changed.get("p.q.A"))), "the new content is handed over");
        check(watcher.scan().isEmpty(), "a change is reported once");

        write(second.resolve("C.class"), "SEAS", time + 6000);
        write(second.resolve("r/D.class"), "new", time);
        changed = watcher.scan();
        check(changed.keySet().equals(new java.util.HashSet<String>(Arrays.asList("C", "r.D"))),
              "a grown file and a new one in the second folder: " + changed.keySet());
        check("SEAS".equals(text(changed.get("C"))), "the grown file's content");
        deleteTree(first.toFile());
        deleteTree(second.toFile());
        check(watcher.scan().isEmpty(), "deleted files are no change");
    }

    private static void deleteTree(File file) {
        File[] children = file.listFiles();
        if (children != null) {
            for (File child : children) {
                deleteTree(child);
            }
        }
        file.delete();
    }

    private static void generatedClassesLoad() throws Exception {
        ClassGen.Loader loader = new ClassGen.Loader();
        byte[] small = ClassGen.generate("a/b/Small", 0);
        byte[] large = ClassGen.generate("a/b/Large", 2048);
        check(large.length == 2048, "padded to the size asked for: " + large.length);
        check(small.length < 200, "unpadded class is small: " + small.length);
        Class<?> smallClass = loader.define("a/b/Small", small);
        Class<?> largeClass = loader.define(null, large);
        check(smallClass.getName().equals("a.b.Small") && largeClass.getName().equals("a.b.Large"),
              "generated names: " + smallClass.getName() + ", " + largeClass.getName());
        Object instance = largeClass.getDeclaredConstructor().newInstance();
        check(instance.getClass() == largeClass && largeClass.getSuperclass() == Object.class,
              "a generated class instantiates and extends Object");
        check(java.lang.reflect.Modifier.isPublic(largeClass.getModifiers()), "generated classes are public");
        check(largeClass.getClassLoader() == loader, "defined by the generator's loader");
    }
}
