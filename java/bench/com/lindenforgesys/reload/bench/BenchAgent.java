package com.lindenforgesys.reload.bench;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;

/**
 * The Premain-Class of both agent set-ups the instruction benchmarks compare:
 * -javaagent:bench.jar, and the library with tarsil-bench.jar (the reference
 * Java side under this Premain-Class). Either way premain registers the same
 * no-op retransformation-capable transformer and keeps the Instrumentation
 * for the benchmark programs, so that the set-ups differ in the agent only.
 */
public final class BenchAgent {
    private static volatile Instrumentation instrumentation;

    private BenchAgent() {
    }

    public static void premain(String options, Instrumentation inst) {
        // The library's child JVM, which writes the bootstrap jar, runs this
        // premain too, through -javaagent: it has nothing to do there.
        if (Boolean.getBoolean("vesta.pelican.bootstrap_run")) {
            return;
        }
        inst.addTransformer(new Noop(), true);
        instrumentation = inst;
    }

    /** What premain received; ends the JVM when no agent ran it. */
    public static Instrumentation instrumentation() {
        Instrumentation inst = instrumentation;
        if (inst == null) {
            System.err.println("No agent ran BenchAgent.premain: start with -javaagent:bench.jar, or with the"
                               + " library and -Dvesta.native.jar=tarsil-bench.jar");
            System.exit(2);
        }
        return inst;
    }

    /** Changes nothing: what is measured is the path to the transformer and back. */
    static final class Noop implements ClassFileTransformer {
        public byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                                ProtectionDomain protectionDomain, byte[] classfileBuffer) {
            return null;
        }
    }
}
