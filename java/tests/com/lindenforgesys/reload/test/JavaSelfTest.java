package com.lindenforgesys.reload.test;

import com.lindenforgesys.reload.agent.ClassFileWatcher;
import com.lindenforgesys.reload.agent.TestTransformers;
import com.lindenforgesys.reload.jvmti.InstrumentationAdapter;
import com.lindenforgesys.reload.jvmti.MinimalInstrumentation;
import com.lindenforgesys.reload.jvmti.RecordingNatives;
import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.PrintStream;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.IllegalClassFormatException;
import java.lang.instrument.Instrumentation;
import java.lang.reflect.Proxy;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.jar.JarFile;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;

/**
 * Checks of the Java side that need no native library: the adapter's
 * routing, chaining and failure handling, its hand-over to the natives, the
 * premain hand-off, the test transformers, the watcher's change detection
 * and reloading, and the generated classes. Run without the agent:
 *   java -cp tarsil-tests.jar:tarsil.jar com.lindenforgesys.reload.test.JavaSelfTest
 * Prints "OK JavaSelfTest (n checks)" and exits 0, or a "FAIL" line per
 * failed check and exits 1.
 */
public final class JavaSelfTest {
    private static int failures;
    private static int checks;

    private JavaSelfTest() {
    }

    interface Test {
        void run() throws Throwable;
    }

    public static void main(String[] args) {
        run("adapterRoutesByFlagAndChains", JavaSelfTest::adapterRoutesByFlagAndChains);
        run("adapterWithoutTransformersReturnsNull", JavaSelfTest::adapterWithoutTransformersReturnsNull);
        run("failingTransformerIsSkippedAndReportedOnce", JavaSelfTest::failingTransformerIsSkippedAndReportedOnce);
        run("removeTransformerTakesTheLatestRegistration", JavaSelfTest::removeTransformerTakesTheLatestRegistration);
        run("prefixesGoToTheNativesPerKind", JavaSelfTest::prefixesGoToTheNativesPerKind);
        run("olderLibraryFallsBack", JavaSelfTest::olderLibraryFallsBack);
        run("transformStaysConsistentWhileTransformersChange",
            JavaSelfTest::transformStaysConsistentWhileTransformersChange);
        run("premainReceivesOptionsAndTheAdapter", JavaSelfTest::premainReceivesOptionsAndTheAdapter);
        run("premainFallsBackToTheOneArgumentForm", JavaSelfTest::premainFallsBackToTheOneArgumentForm);
        run("premainFailureIsThrownUnwrapped", JavaSelfTest::premainFailureIsThrownUnwrapped);
        run("premainClassWithoutPremainIsNamed", JavaSelfTest::premainClassWithoutPremainIsNamed);
        run("reportWritesTheFourArguments", JavaSelfTest::reportWritesTheFourArguments);
        run("steeringTransformerRecordsAndSteers", JavaSelfTest::steeringTransformerRecordsAndSteers);
        run("malformedSteeringPropertiesAreRefused", JavaSelfTest::malformedSteeringPropertiesAreRefused);
        run("watcherReportsChangedClassFilesOnly", JavaSelfTest::watcherReportsChangedClassFilesOnly);
        run("watcherRedefinesLoadedClassesOnly", JavaSelfTest::watcherRedefinesLoadedClassesOnly);
        run("generatedClassesLoadAtTheSizeAskedFor", JavaSelfTest::generatedClassesLoadAtTheSizeAskedFor);
        System.out.println(failures == 0 ? "OK JavaSelfTest (" + checks + " checks)"
                                         : "FAIL JavaSelfTest: " + failures + " of " + checks + " checks failed");
        System.exit(failures == 0 ? 0 : 1);
    }

    private static void run(String name, Test test) {
        try {
            test.run();
        } catch (Throwable e) {
            check(false, name + " threw " + e);
            e.printStackTrace(System.out);
        }
    }

    private static void check(boolean condition, String what) {
        checks++;
        if (!condition) {
            failures++;
            System.out.println("FAIL " + what);
        }
    }

    private static String text(byte[] bytes) {
        return bytes == null ? null : new String(bytes, StandardCharsets.UTF_8);
    }

    private static byte[] bytes(String text) {
        return text.getBytes(StandardCharsets.UTF_8);
    }

    /** What {@code action} printed to System.err. */
    private static String stderrOf(Test action) throws Throwable {
        PrintStream saved = System.err;
        ByteArrayOutputStream captured = new ByteArrayOutputStream();
        System.setErr(new PrintStream(captured, true, "UTF-8"));
        try {
            action.run();
        } finally {
            System.setErr(saved);
        }
        return captured.toString("UTF-8");
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
            seen.add(className + ":" + text(bytes));
            return bytes(text(bytes) + tag);
        }
    }

    interface Body {
        byte[] apply(byte[] bytes) throws IllegalClassFormatException;
    }

    /** A transformer that answers with {@code body} applied to the class bytes. */
    private static ClassFileTransformer transformer(Body body) {
        return new ClassFileTransformer() {
            @Override
            public byte[] transform(ClassLoader l, String n, Class<?> c, ProtectionDomain p, byte[] bytes)
                    throws IllegalClassFormatException {
                return body.apply(bytes);
            }
        };
    }

    static final class Throwing implements ClassFileTransformer {
        final Throwable failure;

        Throwing(Throwable failure) {
            this.failure = failure;
        }

        @Override
        public byte[] transform(ClassLoader l, String n, Class<?> c, ProtectionDomain p, byte[] b) {
            if (failure instanceof Error) {
                throw (Error) failure;
            }
            throw (RuntimeException) failure;
        }
    }

    private static void adapterRoutesByFlagAndChains() throws IOException {
        MinimalInstrumentation natives = allowingEverything(new MinimalInstrumentation());
        Instrumentation inst = natives.instrumentation();
        Tagging plainA = new Tagging("+a");
        Tagging plainB = new Tagging("+b");
        Tagging retransforming = new Tagging("+r");
        inst.addTransformer(plainA, false);
        inst.addTransformer(retransforming, true);
        inst.addTransformer(plainB);
        inst.addTransformer(transformer(b -> null), false);

        byte[] result = natives.transform(null, null, "p/C", null, null, bytes("x"), false);
        check("x+a+b".equals(text(result)), "plain transformers chain in order, got " + text(result));
        check(plainB.seen.equals(Arrays.asList("p/C:x+a")), "the second gets the first's bytes: " + plainB.seen);
        check(retransforming.seen.isEmpty(), "a retransforming transformer ignores false: " + retransforming.seen);

        byte[] retransformed = natives.transform(null, "p/D", null, null, bytes("y"), true);
        check("y+r".equals(text(retransformed)), "the flag true reaches only the retransforming one, got "
                                                  + text(retransformed));
        check(plainA.seen.size() == 1, "a plain transformer ignores true: " + plainA.seen);
    }

    private static void adapterWithoutTransformersReturnsNull() throws IOException {
        MinimalInstrumentation natives = allowingEverything(new MinimalInstrumentation());
        byte[] input = bytes("x");
        check(natives.transform(null, null, "p/C", null, null, input, false) == null, "no plain transformers");
        check(natives.transform(null, null, "p/C", null, null, input, true) == null, "no retransforming ones");
        natives.instrumentation().addTransformer(new Tagging("+r"), true);
        check(natives.transform(null, null, "p/C", null, null, input, false) == null,
              "only a retransforming transformer: false is untouched");
        natives.instrumentation().addTransformer(transformer(b -> {
            throw new IllegalClassFormatException("bad");
        }), false);
        natives.instrumentation().addTransformer(transformer(b -> b), false);
        check(natives.transform(null, null, "p/C", null, null, input, false) == input,
              "an IllegalClassFormatException counts as no change, and the chain goes on");
    }

    private static void failingTransformerIsSkippedAndReportedOnce() throws Throwable {
        RuntimeException first = new RuntimeException("first failure");
        MinimalInstrumentation alone = new MinimalInstrumentation();
        alone.instrumentation().addTransformer(new Throwing(first), false);
        try {
            alone.transform(null, "p/C", null, null, bytes("x"), false);
            check(false, "a failure with nothing changed must reach the library");
        } catch (RuntimeException e) {
            check(e == first, "the transformer's own exception is thrown on: " + e);
        }

        MinimalInstrumentation two = new MinimalInstrumentation();
        AssertionError second = new AssertionError("second failure");
        two.instrumentation().addTransformer(new Throwing(first), false);
        two.instrumentation().addTransformer(new Throwing(second), false);
        try {
            two.transform(null, "p/C", null, null, bytes("x"), false);
            check(false, "two failures must reach the library");
        } catch (RuntimeException e) {
            check(e == first && Arrays.asList(e.getSuppressed()).contains(second),
                  "the first failure carries the second: " + Arrays.toString(e.getSuppressed()));
        }

        MinimalInstrumentation same = new MinimalInstrumentation();
        same.instrumentation().addTransformer(new Throwing(first), false);
        same.instrumentation().addTransformer(new Throwing(first), false);
        try {
            same.transform(null, "p/C", null, null, bytes("x"), false);
            check(false, "a failure thrown twice must reach the library");
        } catch (RuntimeException e) {
            check(e == first, "one exception thrown by two transformers comes through as itself: " + e);
        }

        MinimalInstrumentation mixed = new MinimalInstrumentation();
        Tagging after = new Tagging("+a");
        mixed.instrumentation().addTransformer(new Throwing(new IllegalStateException("mid-chain")), false);
        mixed.instrumentation().addTransformer(after, false);
        byte[][] result = new byte[1][];
        String err = stderrOf(() -> result[0] = mixed.transform(null, "p/C", null, null, bytes("x"), false));
        check("x+a".equals(text(result[0])), "the transformer after the failing one still runs: " + text(result[0]));
        check(err.startsWith("[tarsil-agent] A transformer failed for p/C:")
              && err.contains("java.lang.IllegalStateException: mid-chain"),
              "a failure beside changed bytes is printed: " + err);
    }

    private static void removeTransformerTakesTheLatestRegistration() throws IOException {
        MinimalInstrumentation natives = allowingEverything(new MinimalInstrumentation());
        Instrumentation inst = natives.instrumentation();
        Tagging twice = new Tagging("+t");
        inst.addTransformer(twice, false);
        inst.addTransformer(twice, false);
        inst.addTransformer(twice, true);
        check("x+t+t".equals(text(natives.transform(null, "p/C", null, null, bytes("x"), false))),
              "registered twice, called twice");
        check(inst.removeTransformer(twice), "removing a registered transformer");
        check("x+t".equals(text(natives.transform(null, "p/C", null, null, bytes("x"), false))),
              "one removal takes one plain registration");
        check("x+t".equals(text(natives.transform(null, "p/C", null, null, bytes("x"), true))),
              "the retransforming registration stays while plain ones remain");
        check(inst.removeTransformer(twice) && inst.removeTransformer(twice), "removing the other two");
        check(natives.transform(null, "p/C", null, null, bytes("x"), false) == null
              && natives.transform(null, "p/C", null, null, bytes("x"), true) == null,
              "all registrations gone");
        check(!inst.removeTransformer(twice), "removing once more finds nothing");
        check(!inst.removeTransformer(new Tagging("+u")), "removing an unknown transformer");
    }

    /** A jar with nothing but a manifest of these lines. */
    private static String agentJar(String manifestLines) throws IOException {
        Path jar = Files.createTempFile("tarsil-agent", ".jar");
        jar.toFile().deleteOnExit();
        Manifest manifest = new Manifest(new ByteArrayInputStream(bytes("Manifest-Version: 1.0\n" + manifestLines)));
        new JarOutputStream(Files.newOutputStream(jar), manifest).close();
        return jar.toString();
    }

    private static MinimalInstrumentation allowingEverything(MinimalInstrumentation natives) throws IOException {
        natives.instrumentation().useAgentJar(agentJar("Can-Redefine-Classes: true\nCan-Retransform-Classes: true\n"
                                                       + "Can-Set-Native-Method-Prefix: true\n"));
        return natives;
    }

    private static boolean throwsUnsupported(Test action) throws Throwable {
        try {
            action.run();
            return false;
        } catch (UnsupportedOperationException expected) {
            return true;
        }
    }

    /** Each kind of transformer has its prefixes, in registration order, on its own environment. */
    private static void prefixesGoToTheNativesPerKind() throws Throwable {
        RecordingNatives natives = new RecordingNatives();
        InstrumentationAdapter inst = allowingEverything(natives).instrumentation();
        Tagging a = new Tagging("+a");
        Tagging b = new Tagging("+b");
        Tagging c = new Tagging("+c");
        inst.addTransformer(c);
        inst.addTransformer(b, true);
        inst.addTransformer(a);
        inst.setNativeMethodPrefix(a, "a_");
        inst.setNativeMethodPrefix(b, "b_");
        inst.setNativeMethodPrefix(c, "c_");
        inst.setNativeMethodPrefix(a, null);
        check(natives.calls.equals(Arrays.asList(
                  "setNativeMethodPrefixesImpl", Arrays.asList("a_"), false,
                  "setNativeMethodPrefixesImpl", Arrays.asList("b_"), true,
                  "setNativeMethodPrefixesImpl", Arrays.asList("c_", "a_"), false,
                  "setNativeMethodPrefixesImpl", Arrays.asList("c_"), false)),
              "prefixes per kind: " + natives.calls);
    }

    /** With a library older than the natives beyond the four, the adapter does what it did without them. */
    private static void olderLibraryFallsBack() throws Throwable {
        RecordingNatives natives = new RecordingNatives();
        natives.older = true;
        final InstrumentationAdapter inst = allowingEverything(natives).instrumentation();
        check(inst.isModifiableClass(String.class) && !inst.isModifiableClass(int.class)
              && !inst.isModifiableClass(String[].class), "primitives and arrays are not modifiable, the rest is");
        check(throwsUnsupported(() -> inst.getObjectSize("x")), "getObjectSize");
        final JarFile jar = new JarFile(agentJar(""));
        check(throwsUnsupported(() -> inst.appendToSystemClassLoaderSearch(jar)), "appendToSystemClassLoaderSearch");
        jar.close();
        Object base = Class.class.getMethod("getModule").invoke(Object.class);
        check(inst.isModifiableModule((Module) base), "modules count as modifiable");
        check(throwsUnsupported(() -> inst.redefineModule((Module) base, Collections.singleton((Module) base),
                                                          Collections.<String, Set<Module>>emptyMap(),
                                                          Collections.<String, Set<Module>>emptyMap(),
                                                          Collections.<Class<?>>emptySet(),
                                                          Collections.<Class<?>, List<Class<?>>>emptyMap())),
              "redefineModule");
        Tagging tagging = new Tagging("+t");
        inst.addTransformer(tagging);
        inst.setNativeMethodPrefix(tagging, "wrapped_");
        inst.setNativeMethodPrefix(tagging, null);
        check(natives.calls.equals(Arrays.asList("setNativeMethodPrefixImpl", "wrapped_",
                                                 "setNativeMethodPrefixImpl", "")),
              "one prefix, a null one as \"\": " + natives.calls);

        natives.loaded = new Class<?>[] {String.class, JavaSelfTest.class, Object.class, Scenarios.class};
        check(new HashSet<Object>(Arrays.asList((Object[]) inst.getInitiatedClasses(null)))
                  .equals(new HashSet<Object>(Arrays.asList(String.class, Object.class))),
              "the boot loader's classes: " + Arrays.toString(inst.getInitiatedClasses(null)));
        check(Arrays.equals(inst.getInitiatedClasses(JavaSelfTest.class.getClassLoader()),
                            new Class<?>[] {JavaSelfTest.class, Scenarios.class}),
              "the application loader's classes");
    }

    private static void transformStaysConsistentWhileTransformersChange() throws Throwable {
        final MinimalInstrumentation natives = new MinimalInstrumentation();
        final Instrumentation inst = natives.instrumentation();
        inst.addTransformer(new Tagging("+a"), false);
        final Tagging toggled = new Tagging("+b");
        final AtomicInteger wrong = new AtomicInteger();
        final AtomicInteger calls = new AtomicInteger();
        final AtomicBoolean stop = new AtomicBoolean();
        Thread mutator = new Thread(() -> {
            while (!stop.get()) {
                inst.addTransformer(toggled, false);
                inst.removeTransformer(toggled);
            }
        });
        List<Thread> callers = new ArrayList<Thread>();
        for (int t = 0; t < 4; t++) {
            callers.add(new Thread(() -> {
                for (int i = 0; i < 20000; i++) {
                    String result = text(natives.transform(null, "p/C", null, null, bytes("x"), false));
                    if (!"x+a".equals(result) && !"x+a+b".equals(result)) {
                        wrong.incrementAndGet();
                    }
                    calls.incrementAndGet();
                }
            }));
        }
        mutator.start();
        for (Thread caller : callers) {
            caller.start();
        }
        for (Thread caller : callers) {
            caller.join();
        }
        stop.set(true);
        mutator.join();
        check(calls.get() == 80000 && wrong.get() == 0,
              "every call sees one whole chain: " + wrong.get() + " wrong of " + calls.get());
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

    public static final class NoPremain {
        public void premain(String options) {
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

    private static void premainClassWithoutPremainIsNamed() throws Throwable {
        try {
            new MinimalInstrumentation().loadClassAndCallPremain(NoPremain.class.getName(), null, "/x", null);
            check(false, "an instance premain must not count");
        } catch (NoSuchMethodException e) {
            check(e.getMessage().startsWith(NoPremain.class.getName() + " has neither"), "message: " + e.getMessage());
        }
        new MinimalInstrumentation().loadClassAndCallPremain("", null, "/x", null);
        check(true, "an empty premain class means nothing to call");
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

    /** Records the names it is asked to load. */
    static final class ListeningLoader extends ClassLoader {
        final List<String> asked = new ArrayList<String>();

        ListeningLoader() {
            super(JavaSelfTest.class.getClassLoader());
        }

        @Override
        protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
            asked.add(name);
            return super.loadClass(name, resolve);
        }
    }

    private static void steeringTransformerRecordsAndSteers() throws Throwable {
        Path file = Files.createTempFile("tarsil-record", ".txt");
        Files.write(file, bytes("left from an earlier run\n"));
        TestTransformers.Recorder recorder = new TestTransformers.Recorder(file.toString());
        check(Files.size(file) == 0, "a new recorder empties its file");
        TestTransformers.Steering plain = new TestTransformers.Steering(
            false, recorder, "p/R", bytes("replacement"), "p/T", "p/O", "com.lindenforgesys.reload.test.Inner");
        TestTransformers.Steering retransforming =
            new TestTransformers.Steering(true, recorder, null, null, null, null, null);

        check(plain.transform(null, "p/X", null, null, bytes("x")) == null, "other classes are left alone");
        byte[] replaced = plain.transform(null, "p/R", null, null, bytes("x"));
        check("replacement".equals(text(replaced)), "the replacement's bytes: " + text(replaced));
        replaced[0] = 'R';
        check("replacement".equals(text(plain.transform(null, "p/R", null, null, bytes("x")))),
              "each replacement is a fresh copy");
        try {
            plain.transform(null, "p/T", null, null, bytes("x"));
            check(false, "throwFor must throw");
        } catch (RuntimeException e) {
            check(e.getClass() == RuntimeException.class
                  && "transformer failure requested for p/T".equals(e.getMessage()), "throwFor's exception: " + e);
        }
        ListeningLoader loader = new ListeningLoader();
        check(plain.transform(loader, "p/O", null, null, bytes("x")) == null, "the nested load changes nothing");
        check(loader.asked.contains("com.lindenforgesys.reload.test.Inner"), "B is loaded through A's loader: "
                                                                                 + loader.asked);
        check(plain.transform(null, "p/O", null, null, bytes("x")) == null, "a boot class falls back to the system loader");
        check(retransforming.transform(null, "p/R", String.class, null, bytes("x")) == null,
              "the retransforming one only records");

        recorder.flush();
        recorder.flush();
        List<String> expected = Arrays.asList("false p/X load", "false p/R load", "false p/R load", "false p/T load",
                                              "false p/O load", "false p/O load", "true p/R redefine");
        List<String> lines = Files.readAllLines(file, StandardCharsets.UTF_8);
        check(lines.equals(expected), "recorded lines, each once: " + lines);
        Files.delete(file);

        TestTransformers.Steering missing = new TestTransformers.Steering(false, null, null, null, null, "p/O", "no.Such");
        try {
            missing.transform(null, "p/O", null, null, bytes("x"));
            check(false, "a missing nested class must be reported");
        } catch (IllegalStateException e) {
            check(e.getMessage().contains("no.Such"), "names the missing class: " + e.getMessage());
        }
    }

    private static void malformedSteeringPropertiesAreRefused() {
        for (String value : new String[] {"no-separator", "=file", "name="}) {
            try {
                TestTransformers.split(value, '=', "vesta.test.replace", "<internal/Name>=<file.class>");
                check(false, "accepted " + value);
            } catch (IllegalArgumentException e) {
                check(e.getMessage().startsWith("vesta.test.replace must be"), "message: " + e.getMessage());
            }
        }
        String[] pair = TestTransformers.split("a/B=/x=y.class", '=', "p", "f");
        check(pair[0].equals("a/B") && pair[1].equals("/x=y.class"), "splits at the first separator");
        check(TestTransformers.split(null, '=', "p", "f") == null, "unset means off");
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

        ClassFileWatcher watcher = new ClassFileWatcher(null, new String[] {
            first.toString(), "", second.toString(), first.resolve("missing").toString()});
        check(watcher.scan().isEmpty(), "nothing changed since the baseline");

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
        check(changed.keySet().equals(new HashSet<String>(Arrays.asList("C", "r.D"))),
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

    /** An Instrumentation that lists a few classes and records redefinitions, refusing Victim. */
    private static Instrumentation fakeInstrumentation(final List<List<String>> redefinitions) {
        return (Instrumentation) Proxy.newProxyInstance(
            JavaSelfTest.class.getClassLoader(), new Class<?>[] {Instrumentation.class}, (proxy, method, args) -> {
                if (method.getName().equals("getAllLoadedClasses")) {
                    return new Class<?>[] {String.class, Target.class, Victim.class, Target[].class};
                }
                if (method.getName().equals("redefineClasses")) {
                    List<String> call = new ArrayList<String>();
                    for (ClassDefinition definition : (ClassDefinition[]) args[0]) {
                        call.add(definition.getDefinitionClass().getSimpleName() + "="
                                 + text(definition.getDefinitionClassFile()));
                    }
                    redefinitions.add(call);
                    for (String each : call) {
                        if (each.startsWith("Victim=")) {
                            throw new UnsupportedOperationException("JVMTI_ERROR_REFUSED");
                        }
                    }
                    return null;
                }
                throw new UnsupportedOperationException(method.getName());
            });
    }

    private static void watcherRedefinesLoadedClassesOnly() throws Throwable {
        Path root = Files.createTempDirectory("tarsil-reload");
        Path folder = root.resolve("com/lindenforgesys/reload/test");
        long time = System.currentTimeMillis() - 100000;
        write(folder.resolve("Target.class"), "t1", time);
        write(folder.resolve("Victim.class"), "v1", time);
        write(folder.resolve("NotLoaded.class"), "n1", time);
        List<List<String>> redefinitions = new ArrayList<List<String>>();
        ClassFileWatcher watcher = new ClassFileWatcher(fakeInstrumentation(redefinitions),
                                                        new String[] {root.toString()});

        check(stderrOf(watcher::poll).isEmpty() && redefinitions.isEmpty(), "no change, no redefinition");

        write(folder.resolve("Target.class"), "t2", time + 2000);
        write(folder.resolve("NotLoaded.class"), "n2", time + 2000);
        String err = stderrOf(watcher::poll);
        check(redefinitions.equals(Collections.singletonList(Collections.singletonList("Target=t2"))),
              "only the loaded class is redefined, with the file's bytes: " + redefinitions);
        check(err.equals("[tarsil-agent] Reloaded com.lindenforgesys.reload.test.Target" + System.lineSeparator()),
              "one line per reloaded class: " + err);

        redefinitions.clear();
        write(folder.resolve("Target.class"), "t3", time + 4000);
        write(folder.resolve("Victim.class"), "v2", time + 4000);
        err = stderrOf(watcher::poll);
        check(redefinitions.equals(Arrays.asList(Arrays.asList("Target=t3", "Victim=v2"),
                                                 Collections.singletonList("Target=t3"),
                                                 Collections.singletonList("Victim=v2"))),
              "together first, then one by one: " + redefinitions);
        String n = System.lineSeparator();
        check(err.equals("[tarsil-agent] Reloaded com.lindenforgesys.reload.test.Target" + n
                         + "[tarsil-agent] Could not reload com.lindenforgesys.reload.test.Victim: "
                         + "java.lang.UnsupportedOperationException: JVMTI_ERROR_REFUSED" + n),
              "the failure names its class and exception: " + err);
        deleteTree(root.toFile());
    }

    private static void generatedClassesLoadAtTheSizeAskedFor() throws Exception {
        ClassGen.Loader loader = new ClassGen.Loader();
        byte[] small = ClassGen.generate("a/b/Small", 0);
        check(small.length < 200, "unpadded class is small: " + small.length);
        check(ClassGen.generate("a/b/Small", small.length - 1).length == small.length,
              "below the unpadded length the unpadded file comes back");
        Class<?> smallClass = loader.define("a/b/Small", small);
        check(smallClass.getName().equals("a.b.Small"), "generated name: " + smallClass.getName());
        String[] names = {"a/b/Sized1", "a/b/Sized2", "a/b/Sized3"};
        int[] paddings = {1, 2048 - small.length, ClassGen.MAX_PADDING};
        for (int i = 0; i < names.length; i++) {
            int size = ClassGen.generate(names[i], 0).length + paddings[i];
            byte[] bytes = ClassGen.generate(names[i], size);
            check(bytes.length == size, "padded to " + size + ": " + bytes.length);
            Class<?> c = loader.define(null, bytes);
            Object instance = c.getDeclaredConstructor().newInstance();
            check(instance.getClass() == c && c.getSuperclass() == Object.class
                  && java.lang.reflect.Modifier.isPublic(c.getModifiers()) && c.getClassLoader() == loader
                  && c.getName().equals(names[i].replace('/', '.')),
                  "a generated class of " + size + " bytes verifies, instantiates and extends Object");
        }
        try {
            ClassGen.generate("a/b/TooLarge", ClassGen.generate("a/b/TooLarge", 0).length + ClassGen.MAX_PADDING + 1);
            check(false, "sizes beyond one padding constant are refused");
        } catch (IllegalArgumentException expected) {
            check(true, "sizes beyond one padding constant are refused");
        }
    }
}
