package com.lindenforgesys.reload.test;

import com.lindenforgesys.reload.agent.ReloadAgent;
import com.lindenforgesys.reload.agent.TestTransformers;
import com.lindenforgesys.reload.jvmti.InstrumentationAdapter;
import com.lindenforgesys.reload.jvmti.MinimalInstrumentation;
import java.io.IOException;
import java.io.InputStream;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.lang.instrument.UnmodifiableClassException;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Scenarios the JVM tests run with the native library and tarsil.jar loaded:
 *   java -agentpath:.../libtarsil64.so -cp tarsil-tests.jar com.lindenforgesys.reload.test.Scenarios NAME
 * Each prints "OK NAME" and exits 0, or "FAIL NAME: why" and exits 1. With
 * "vesta.test.record" set, the scenarios that redefine or retransform also
 * check what the record shows.
 */
public final class Scenarios {
    private static final String TARGET = "com/lindenforgesys/reload/test/Target";

    private Scenarios() {
    }

    public static void main(String[] args) {
        String name = args.length > 0 ? args[0] : "";
        try {
            run(name);
            ReloadAgent.flushRecord();
            System.out.println("OK " + name);
        } catch (Throwable e) {
            if (e instanceof InvocationTargetException) {
                e = e.getCause();
            }
            ReloadAgent.flushRecord();
            System.out.println("FAIL " + name + ": " + e);
            e.printStackTrace(System.out);
            System.exit(1);
        }
    }

    private static void run(String name) throws Throwable {
        switch (name) {
            case "redefine": redefine(); break;
            case "retransform": retransform(); break;
            case "schemaChange": schemaChange(); break;
            case "garbage": garbage(); break;
            case "emptyArrays": emptyArrays(); break;
            case "nullElement": nullElement(); break;
            case "argumentChecks": argumentChecks(); break;
            case "capabilities": capabilities(); break;
            case "moduleTransformer": moduleTransformer(); break;
            case "prefixes": prefixes(); break;
            case "loadedClasses": loadedClasses(); break;
            case "replace": replace(); break;
            case "emulation": emulation(); break;
            case "sleep": sleep(); break;
            case "holdDescriptors": holdDescriptors(); break;
            case "changedJar": changedJar(); break;
            case "throwingTransformer": throwingTransformer(); break;
            case "nested": nested(); break;
            case "bulk": bulk(Integer.getInteger("vesta.test.classes", 300)); break;
            case "concurrent": concurrent(Integer.getInteger("vesta.test.classes", 2000),
                                          Integer.getInteger("vesta.test.classSize", 512)); break;
            default: throw new IllegalArgumentException("no scenario \"" + name + "\"");
        }
    }

    private static Instrumentation inst() {
        Instrumentation inst = ReloadAgent.instrumentation();
        check(inst != null, "the agent's premain did not run");
        return inst;
    }

    private static void check(boolean condition, String why) {
        if (!condition) {
            throw new AssertionError(why);
        }
    }

    private static byte[] resource(String name) throws IOException {
        try (InputStream in = Scenarios.class.getResourceAsStream(name)) {
            check(in != null, "missing resource " + name);
            java.io.ByteArrayOutputStream bytes = new java.io.ByteArrayOutputStream();
            byte[] buffer = new byte[8192];
            for (int n; (n = in.read(buffer)) > 0; ) {
                bytes.write(buffer, 0, n);
            }
            return bytes.toByteArray();
        }
    }

    /** The record so far, or null when "vesta.test.record" is not set. */
    private static List<String> record() throws IOException {
        String file = System.getProperty("vesta.test.record");
        if (file == null) {
            return null;
        }
        ReloadAgent.flushRecord();
        return Files.readAllLines(Paths.get(file), StandardCharsets.UTF_8);
    }

    private static int count(List<String> lines, String line) {
        int n = 0;
        for (String each : lines) {
            n += each.equals(line) ? 1 : 0;
        }
        return n;
    }

    private static void redefine() throws Throwable {
        Target target = new Target();
        check(target.version().equals("v1"), "unexpected first version " + target.version());
        inst().redefineClasses(new ClassDefinition(Target.class, resource("/variants/Target-v2.bin")));
        check(target.version().equals("v2"), "redefinition had no effect: " + target.version());
        List<String> record = record();
        if (record != null) {
            check(count(record, "false " + TARGET + " redefine") == 1, "the plain transformer saw no redefinition");
            check(count(record, "true " + TARGET + " redefine") == 1,
                  "the retransforming transformer saw no redefinition");
        }
    }

    private static void retransform() throws Throwable {
        Target target = new Target();
        inst().retransformClasses(Target.class);
        check(target.version().equals("v1"), "retransforming changed the class: " + target.version());
        List<String> record = record();
        if (record != null) {
            check(count(record, "true " + TARGET + " redefine") >= 1, "no retransformation offered to Java");
            check(count(record, "false " + TARGET + " redefine") == 0,
                  "a retransformation reached the plain transformer");
        }
    }

    private static void schemaChange() throws Throwable {
        Target target = new Target();
        try {
            inst().redefineClasses(new ClassDefinition(Target.class, resource("/variants/Target-field.bin")));
            check(false, "a redefinition with an added field was accepted");
        } catch (UnsupportedOperationException e) {
            System.out.println(e);
            check("class redefinition failed: attempted to change the schema (add/remove fields)".equals(e.getMessage()),
                  "message is not the JDK's: " + e.getMessage());
        }
        check(target.version().equals("v1"), "the refused redefinition changed the class");
    }

    private static void garbage() throws Throwable {
        byte[] garbage = new byte[512];
        new Random(7).nextBytes(garbage);
        try {
            inst().redefineClasses(new ClassDefinition(Target.class, garbage));
            check(false, "random bytes were accepted");
        } catch (ClassFormatError e) {
            System.out.println(e);
        }
        check(new Target().version().equals("v1"), "the refused redefinition changed the class");
    }

    private static void emptyArrays() throws Throwable {
        inst().redefineClasses(new ClassDefinition[0]);
        inst().retransformClasses(new Class<?>[0]);
    }

    private static void nullElement() throws Throwable {
        // Reflection on MinimalInstrumentation resolves the types of all its
        // methods, java.lang.Module among them: the natives are called
        // directly from Java 9 on only. The adapter's own checks come first
        // everywhere (argumentChecks).
        if (System.getProperty("java.version").startsWith("1.")) {
            return;
        }
        MinimalInstrumentation natives = ((InstrumentationAdapter) inst()).natives();
        try {
            nativeMethod("retransformClassesImpl", Class[].class).invoke(natives, (Object) new Class<?>[] {null});
            check(false, "a null entry was accepted by the natives");
        } catch (InvocationTargetException e) {
            check(e.getCause() instanceof NullPointerException, "the natives: wrong exception " + e.getCause());
        }
        nativeMethod("redefineClassesImpl", ClassDefinition[].class).invoke(natives, (Object) null);
    }

    private static Method nativeMethod(String name, Class<?> parameter) throws NoSuchMethodException {
        Method method = MinimalInstrumentation.class.getDeclaredMethod(name, parameter);
        check(java.lang.reflect.Modifier.isNative(method.getModifiers()), name + " is not native");
        method.setAccessible(true);
        return method;
    }

    interface Action {
        void run() throws Throwable;
    }

    /** What {@code action} throws, or null. */
    private static Throwable thrownBy(Action action) {
        try {
            action.run();
            return null;
        } catch (Throwable e) {
            return e;
        }
    }

    /**
     * The exceptions the Instrumentation interface documents for arguments it
     * refuses, and the library's answers where the adapter's own
     * approximations would differ.
     */
    private static void argumentChecks() throws Throwable {
        final Instrumentation inst = inst();
        final ClassFileTransformer unregistered = new TestTransformers.Noop();
        Object[][] cases = {
            {NullPointerException.class, (Action) () -> inst.redefineClasses((ClassDefinition[]) null)},
            {NullPointerException.class, (Action) () -> inst.redefineClasses(new ClassDefinition[] {null})},
            {NullPointerException.class, (Action) () -> inst.retransformClasses((Class<?>[]) null)},
            {NullPointerException.class, (Action) () -> inst.retransformClasses(Target.class, null)},
            {NullPointerException.class, (Action) () -> inst.addTransformer(null)},
            {NullPointerException.class, (Action) () -> inst.removeTransformer(null)},
            {NullPointerException.class, (Action) () -> inst.isModifiableClass(null)},
            {NullPointerException.class, (Action) () -> inst.getObjectSize(null)},
            {NullPointerException.class, (Action) () -> inst.appendToBootstrapClassLoaderSearch(null)},
            {NullPointerException.class, (Action) () -> inst.appendToSystemClassLoaderSearch(null)},
            {NullPointerException.class, (Action) () -> inst.setNativeMethodPrefix(null, "p_")},
            {IllegalArgumentException.class, (Action) () -> inst.setNativeMethodPrefix(unregistered, "p_")},
            {UnmodifiableClassException.class, (Action) () -> inst.retransformClasses(int.class)},
            {UnmodifiableClassException.class, (Action) () -> inst.retransformClasses(String[].class)},
        };
        for (int i = 0; i < cases.length; i++) {
            Throwable thrown = thrownBy((Action) cases[i][1]);
            check(((Class<?>) cases[i][0]).isInstance(thrown), "case " + i + ": " + thrown);
        }
        Runnable lambda = () -> { };
        check(inst.isModifiableClass(Target.class) && !inst.isModifiableClass(int.class),
              "Target is modifiable, int is not");
        // The JVM's own unmodifiable classes, which no approximation in Java
        // sees: from Java 9 on, those of lambdas.
        check(System.getProperty("java.version").startsWith("1.") || !inst.isModifiableClass(lambda.getClass()),
              "a lambda's class counts as modifiable");
        check(inst.getObjectSize(new long[64]) >= 64 * 8, "size of a long[64]: " + inst.getObjectSize(new long[64]));
    }

    /**
     * Prints what the agent jar's manifest allows, as "supported
     * redefine=<b> retransform=<b> prefix=<b>", and checks that what it
     * allows works and what it does not throws UnsupportedOperationException.
     */
    private static void capabilities() throws Throwable {
        final Instrumentation inst = inst();
        final ClassFileTransformer registered = new TestTransformers.Noop();
        inst.addTransformer(registered);
        final byte[] v2 = resource("/variants/Target-v2.bin");
        Object[][] rows = {
            {"redefine", inst.isRedefineClassesSupported(),
             (Action) () -> inst.redefineClasses(new ClassDefinition(Target.class, v2))},
            {"retransform", inst.isRetransformClassesSupported(),
             (Action) () -> inst.addTransformer(new TestTransformers.Noop(), true)},
            {"retransform", inst.isRetransformClassesSupported(), (Action) () -> inst.retransformClasses(Target.class)},
            {"prefix", inst.isNativeMethodPrefixSupported(),
             (Action) () -> inst.setNativeMethodPrefix(registered, "tarsil_test_")},
        };
        StringBuilder answer = new StringBuilder("supported");
        for (Object[] row : rows) {
            boolean supported = (Boolean) row[1];
            Throwable thrown = thrownBy((Action) row[2]);
            check(supported ? thrown == null : thrown instanceof UnsupportedOperationException,
                  row[0] + " supported " + supported + ", yet " + thrown);
            if (answer.indexOf(" " + row[0] + "=") < 0) {
                answer.append(' ').append(row[0]).append('=').append(supported);
            }
        }
        System.out.println(answer);
    }

    /**
     * A transformer that overrides only the module overload (Java 9 and
     * later) sees a class of an unnamed module with its loader's unnamed
     * module, and a JDK class with its named module.
     */
    private static void moduleTransformer() throws Throwable {
        ClassFileTransformer transformer = (ClassFileTransformer) new ClassGen.Loader()
            .define(null, resource("/variants/ModuleOnlyTransformer.bin")).getDeclaredConstructor().newInstance();
        inst().addTransformer(transformer);
        new ClassGen.Loader().define("gen/Seen", ClassGen.generate("gen/Seen", 0));
        Class.forName("java.sql.DataTruncation");
        inst().removeTransformer(transformer);
        String seen = transformer.toString();
        check(seen.contains("gen/Seen unnamed-of-loader\n"), "the generated class: " + seen);
        check(seen.contains("java/sql/DataTruncation java.sql\n"), "the JDK class: " + seen);
    }

    /**
     * Three transformers with prefixes of their own, registered as the JDK's
     * own test of the prefixes registers them (so that the plain one's
     * prefix is applied first): the stand-in's native, named as the three
     * would leave it, links to the library's export only if the JVM strips
     * all three, in order.
     */
    private static void prefixes() throws Throwable {
        Instrumentation inst = inst();
        ClassFileTransformer tr0 = new TestTransformers.Noop();
        ClassFileTransformer tr1 = new TestTransformers.Noop();
        ClassFileTransformer tr2 = new TestTransformers.Noop();
        inst.addTransformer(tr1, true);
        inst.addTransformer(tr2, false);
        inst.addTransformer(tr0, true);
        inst.setNativeMethodPrefix(tr0, "wrapped_tr0_");
        inst.setNativeMethodPrefix(tr1, "wrapped_tr1_");
        inst.setNativeMethodPrefix(tr2, "wrapped_tr2_");
        Class<?> standIn = new ClassGen.Loader().define(null, resource("/variants/MinimalInstrumentation.bin"));
        Class<?>[] listed = (Class<?>[]) standIn.getMethod("listThroughPrefixes").invoke(null);
        check(listed != null && java.util.Arrays.asList(listed).contains(standIn),
              "the prefixed native did not reach the library's listing");
    }

    private static void loadedClasses() throws Throwable {
        Class<?> generated = new ClassGen.Loader().define("com/lindenforgesys/reload/test/gen/Listed",
                                                          ClassGen.generate("com/lindenforgesys/reload/test/gen/Listed", 0));
        Class<?>[] wanted = {String.class, Object.class, Scenarios.class, Target.class, Victim.class, generated};
        new Target();
        new Victim();
        Class<?>[] all = inst().getAllLoadedClasses();
        Class<?>[] again = inst().getAllLoadedClasses();
        Set<Class<?>> unique = new HashSet<Class<?>>();
        for (Class<?> c : all) {
            check(c != null, "null entry");
            check(unique.add(c), "duplicate " + c);
        }
        Set<Class<?>> second = new HashSet<Class<?>>(java.util.Arrays.asList(again));
        for (Class<?> expected : wanted) {
            check(unique.contains(expected), "missing " + expected);
            check(second.contains(expected), "missing from the second listing " + expected);
        }
        check(again.length >= all.length * 0.9 && again.length <= all.length * 1.1,
              "listings disagree: " + all.length + " then " + again.length);
        System.out.println("loaded classes: " + all.length);
    }

    private static void replace() {
        String says = new Replaced().says();
        System.out.println("Replaced says " + says);
        if (System.getProperty("vesta.test.replace") != null) {
            check(says.equals("replaced"), "the transformer's bytes were not installed");
        }
    }

    /**
     * What the bootstrap jar brought: the base classes of both stages in the
     * boot loader, the installer's replacement of a JDK class, and (when the
     * test asks) an application and a platform class served from entries
     * for their loaders.
     */
    private static void emulation() throws Throwable {
        // The base classes are defined on Java 9 and later only.
        boolean java8 = System.getProperty("java.version").startsWith("1.");
        for (String name : java8 ? new String[0]
                                 : new String[] {"java.lang.TarsilEarlyHooks", "java.lang.TarsilModuleHooks"}) {
            Class<?> base = Class.forName(name, false, null);
            check(base.getClassLoader() == null, name + " is not in the boot loader");
        }
        Object servedBy = java.util.zip.DataFormatException.class.getMethod("servedBy").invoke(null);
        check("tarsil bootstrap jar".equals(servedBy), "DataFormatException is the JDK's: " + servedBy);
        String expected = System.getProperty("vesta.test.expectReplaced", "original");
        check(new Replaced().says().equals(expected), "Replaced says " + new Replaced().says());
        if (Boolean.getBoolean("vesta.test.expectPlatform")) {
            String message = new java.sql.SQLDataException("x").getMessage();
            check(message.equals("served: x"), "the platform class is the JDK's: " + message);
            // Java 9 and later only, where the platform loader exists.
            Object platformLoader = ClassLoader.class.getMethod("getPlatformClassLoader").invoke(null);
            check(java.sql.SQLDataException.class.getClassLoader() == platformLoader,
                  "SQLDataException not from the platform loader");
        }
    }

    private static void printPid() {
        // "<pid>@<host>" on every JVM from Java 8 on.
        String jvmName = java.lang.management.ManagementFactory.getRuntimeMXBean().getName();
        System.out.println("pid " + jvmName.substring(0, jvmName.indexOf('@')));
        System.out.flush();
    }

    /** Prints the JVM's process id, then sleeps "vesta.test.sleepMs". */
    private static void sleep() throws InterruptedException {
        printPid();
        Thread.sleep(Long.getLong("vesta.test.sleepMs", 1000L));
    }

    /**
     * Prints the JVM's process id; after "vesta.test.holdFromMs" holds every
     * free descriptor for "vesta.test.holdMs", then sleeps
     * "vesta.test.sleepMs".
     */
    private static void holdDescriptors() throws InterruptedException, IOException {
        printPid();
        Thread.sleep(Long.getLong("vesta.test.holdFromMs", 1000L));
        List<java.io.FileInputStream> held = new ArrayList<java.io.FileInputStream>();
        try {
            while (true) {
                held.add(new java.io.FileInputStream("/dev/null"));
            }
        } catch (IOException e) {
            System.out.println("held " + held.size() + " descriptors: " + e.getMessage());
        }
        Thread.sleep(Long.getLong("vesta.test.holdMs", 1000L));
        for (java.io.FileInputStream each : held) {
            each.close();
        }
        Thread.sleep(Long.getLong("vesta.test.sleepMs", 1000L));
    }

    /**
     * Writes the file "ready", waits for the file "go" (both in the working
     * directory; the test changes the cached bootstrap jar in between), then
     * loads a class the bootstrap jar serves and defines generated classes.
     */
    private static void changedJar() throws Throwable {
        Files.write(Paths.get("ready"), new byte[0]);
        for (int waited = 0; !Files.exists(Paths.get("go")); waited += 10) {
            check(waited < 60000, "no go within a minute");
            Thread.sleep(10);
        }
        Object servedBy = java.util.zip.DataFormatException.class.getMethod("servedBy").invoke(null);
        check("tarsil bootstrap jar".equals(servedBy), "DataFormatException is the JDK's: " + servedBy);
        ClassGen.Loader loader = new ClassGen.Loader();
        for (int i = 0; i < 100; i++) {
            String name = "com/lindenforgesys/reload/test/gen/After" + i;
            loader.define(name, ClassGen.generate(name, 512)).getDeclaredConstructor().newInstance();
        }
    }

    private static void throwingTransformer() {
        check(new Victim().name().equals("Victim"), "the class whose transformer threw is broken");
    }

    private static void nested() throws Throwable {
        check(new Outer().name().equals("Outer"), "Outer broken");
        check(new Inner().name().equals("Inner"), "Inner broken");
        List<String> record = record();
        String nested = System.getProperty("vesta.test.nested");
        if (record != null && nested != null && nested.endsWith(":com.lindenforgesys.reload.test.Inner")) {
            check(count(record, "false com/lindenforgesys/reload/test/Outer load") == 1, "Outer not offered once");
            check(count(record, "true com/lindenforgesys/reload/test/Inner load") == 1,
                  "the retransforming hook missed the nested load");
            check(count(record, "false com/lindenforgesys/reload/test/Inner load") == 0,
                  "the plain transformer was re-entered for the nested load");
        }
    }

    /**
     * Retransforms, then redefines, {@code count} generated classes in one
     * call each: every class must reach the transformers, whatever the JVM's
     * limit on local references.
     */
    private static void bulk(int count) throws Throwable {
        ClassGen.Loader loader = new ClassGen.Loader();
        Class<?>[] classes = new Class<?>[count];
        ClassDefinition[] definitions = new ClassDefinition[count];
        for (int i = 0; i < count; i++) {
            String name = "com/lindenforgesys/reload/test/bulk/Bulk" + i;
            byte[] bytes = ClassGen.generate(name, 256);
            classes[i] = loader.define(name, bytes);
            definitions[i] = new ClassDefinition(classes[i], bytes);
        }
        inst().retransformClasses(classes);
        inst().redefineClasses(definitions);
        List<String> record = record();
        if (record != null) {
            for (int i = 0; i < count; i++) {
                String name = "com/lindenforgesys/reload/test/bulk/Bulk" + i;
                check(count(record, "true " + name + " redefine") == 2, name + " not retransformed and redefined");
                check(count(record, "false " + name + " redefine") == 1, name + " not redefined");
            }
        }
    }

    /** Eight threads define generated classes through loaders of their own, all at once. */
    private static void concurrent(final int perThread, final int classSize) throws Throwable {
        final AtomicInteger defined = new AtomicInteger();
        final List<Throwable> failures = new ArrayList<Throwable>();
        Runtime runtime = Runtime.getRuntime();
        List<Thread> threads = new ArrayList<Thread>();
        for (int t = 0; t < 8; t++) {
            final int thread = t;
            threads.add(new Thread(() -> {
                try {
                    ClassGen.Loader loader = new ClassGen.Loader();
                    for (int i = 0; i < perThread; i++) {
                        String name = "com/lindenforgesys/reload/test/gen/Gen" + thread + "_" + i;
                        Class<?> c = loader.define(name, ClassGen.generate(name, classSize));
                        check(c.getDeclaredConstructor().newInstance().getClass() == c, "instance of " + name);
                        defined.incrementAndGet();
                    }
                } catch (Throwable e) {
                    synchronized (failures) {
                        failures.add(e);
                    }
                }
            }, "definer-" + t));
        }
        for (Thread thread : threads) {
            thread.start();
        }
        for (Thread thread : threads) {
            thread.join();
        }
        if (!failures.isEmpty()) {
            throw failures.get(0);
        }
        check(defined.get() == 8 * perThread, "defined " + defined.get() + " of " + 8 * perThread);
        System.out.println("defined " + defined.get() + " classes");
        long before = runtime.totalMemory() - runtime.freeMemory();
        System.gc();
        long after = runtime.totalMemory() - runtime.freeMemory();
        System.out.println("heap used: " + before / 1024 + " KB before System.gc(), " + after / 1024 + " KB after");
    }
}
