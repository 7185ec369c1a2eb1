package com.lindenforgesys.reload.test;

import com.lindenforgesys.reload.agent.ReloadAgent;
import com.lindenforgesys.reload.jvmti.InstrumentationAdapter;
import com.lindenforgesys.reload.jvmti.MinimalInstrumentation;
import java.io.InputStream;
import java.io.ByteArrayOutputStream;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * Scenarios the native tests run in a JVM that has the agent loaded. Each
 * prints "OK name" or "FAIL name: why".
 */
public final class Scenarios {
    private Scenarios() {
    }

    public static void main(String[] args) throws Throwable {
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

    private static byte[] resource(String name) throws Exception {
        try (InputStream in = Scenarios.class.getResourceAsStream(name)) {
            check(in != null, "missing resource " + name);
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buffer = new byte[4096];
            for (int n; (n = in.read(buffer)) > 0;) {
                out.write(buffer, 0, n);
            }
            return out.toByteArray();
        }
    }

    private static void run(String name) throws Throwable {
        if (name.equals("redefine")) {
            Target target = new Target();
            check(target.version().equals("v1"), "unexpected first version");
            inst().redefineClasses(new ClassDefinition(Target.class, resource("/variants/Target-v2.bin")));
            check(target.version().equals("v2"), "redefinition had no effect: " + target.version());
        } else if (name.equals("retransform")) {
            new Target();
            inst().retransformClasses(Target.class);
        } else if (name.equals("schemaChange")) {
            try {
                inst().redefineClasses(new ClassDefinition(Target.class, resource("/variants/Target-field.bin")));
                check(false, "schema change accepted");
            } catch (UnsupportedOperationException e) {
                System.out.println(e);
            }
        } else if (name.equals("garbage")) {
            byte[] garbage = new byte[512];
            new Random(7).nextBytes(garbage);
            try {
                inst().redefineClasses(new ClassDefinition(Target.class, garbage));
                check(false, "garbage accepted");
            } catch (ClassFormatError e) {
                System.out.println(e);
            }
        } else if (name.equals("emptyArrays")) {
            inst().redefineClasses(new ClassDefinition[0]);
            inst().retransformClasses(new Class<?>[0]);
        } else if (name.equals("nullElement")) {
            try {
                inst().retransformClasses(new Class<?>[] {null});
                check(false, "null element accepted");
            } catch (Error e) {
                check(e.getClass() == Error.class, "wrong exception " + e);
                check("JVMTI_ERROR_NULL_POINTER".equals(e.getMessage()), "wrong message " + e.getMessage());
            }
            try {
                inst().retransformClasses((Class<?>[]) null);
                check(false, "null array accepted");
            } catch (NullPointerException e) {
                check("Error".equals(e.getMessage()), "wrong message " + e.getMessage());
            }
            // The natives themselves take a null array of definitions as nothing to do.
            MinimalInstrumentation natives = ((InstrumentationAdapter) inst()).natives();
            Method redefine = MinimalInstrumentation.class.getDeclaredMethod("redefineClassesImpl",
                                                                             ClassDefinition[].class);
            redefine.setAccessible(true);
            redefine.invoke(natives, (Object) null);
        } else if (name.equals("loadedClasses")) {
            new Target();
            Class<?>[] all = inst().getAllLoadedClasses();
            Set<Class<?>> unique = new HashSet<Class<?>>();
            for (Class<?> c : all) {
                check(c != null, "null entry");
                check(unique.add(c), "duplicate " + c);
            }
            for (Class<?> expected : new Class<?>[] {String.class, Object.class, Scenarios.class, Target.class}) {
                check(unique.contains(expected), "missing " + expected);
            }
            System.out.println("loaded classes: " + all.length);
        } else if (name.equals("replace")) {
            String says = new Replaced().says();
            System.out.println("Replaced says " + says);
            if (System.getProperty("vesta.test.replace") != null) {
                check(says.equals("replaced"), "the transformer's bytes were not installed");
            }
        } else if (name.equals("throwingTransformer")) {
            check(new Victim().name().equals("Victim"), "victim broken");
        } else if (name.equals("nested")) {
            check(new Outer().name().equals("Outer"), "outer broken");
        } else if (name.equals("concurrent")) {
            concurrent(Integer.getInteger("vesta.test.classes", 2000));
        } else {
            throw new IllegalArgumentException("no scenario " + name);
        }
    }

    private static void concurrent(final int perThread) throws Throwable {
        final AtomicInteger defined = new AtomicInteger();
        final List<Throwable> failures = new ArrayList<Throwable>();
        List<Thread> threads = new ArrayList<Thread>();
        for (int t = 0; t < 8; t++) {
            final int thread = t;
            threads.add(new Thread(new Runnable() {
                public void run() {
                    try {
                        ClassGen.Loader loader = new ClassGen.Loader();
                        for (int i = 0; i < perThread; i++) {
                            String name = "com/lindenforgesys/reload/test/gen/Gen" + thread + "_" + i;
                            loader.define(name, ClassGen.generate(name, 512)).getDeclaredConstructor().newInstance();
                            defined.incrementAndGet();
                        }
                    } catch (Throwable e) {
                        synchronized (failures) {
                            failures.add(e);
                        }
                    }
                }
            }));
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
        System.out.println("defined " + defined.get() + " classes");
    }
}
