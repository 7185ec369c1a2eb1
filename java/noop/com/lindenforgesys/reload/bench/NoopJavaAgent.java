package com.lindenforgesys.reload.bench;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;

/** The JDK's own agent path with a transformer that changes nothing: the benchmark's yardstick. */
public final class NoopJavaAgent {
    private NoopJavaAgent() {
    }

    public static void premain(String options, Instrumentation inst) {
        inst.addTransformer(new ClassFileTransformer() {
            public byte[] transform(ClassLoader loader, String name, Class<?> redefined, ProtectionDomain pd,
                                    byte[] bytes) {
                return null;
            }
        }, true);
    }
}
