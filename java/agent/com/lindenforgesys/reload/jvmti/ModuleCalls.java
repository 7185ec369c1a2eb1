package com.lindenforgesys.reload.jvmti;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.IllegalClassFormatException;
import java.security.ProtectionDomain;
import java.util.List;
import java.util.Map;
import java.util.Set;

/**
 * What the adapter needs of the Java 9 API, which the Java 8 API it is
 * compiled against lacks: the module overload of ClassFileTransformer and
 * the module methods redefineModule relies on. Implemented by
 * Java9ModuleCalls, compiled for Java 9 apart from the rest of the agent
 * (agent/java9/) and loaded on Java 9 and later only.
 */
interface ModuleCalls {
    /**
     * The module a transformer is told when the library passes none: that of
     * the class being redefined, else the unnamed module of the loader.
     */
    Module moduleOf(ClassLoader loader, Class<?> classBeingRedefined);

    /** Calls the module overload, whose default calls the older one. */
    byte[] transform(ClassFileTransformer transformer, Module module, ClassLoader loader, String className,
                     Class<?> classBeingRedefined, ProtectionDomain protectionDomain, byte[] classfileBuffer)
        throws IllegalClassFormatException;

    /** Instrumentation.redefineModule, on the adapter's natives. */
    void redefineModule(InstrumentationAdapter adapter, Module module, Set<Module> extraReads,
                        Map<String, Set<Module>> extraExports, Map<String, Set<Module>> extraOpens,
                        Set<Class<?>> extraUses, Map<Class<?>, List<Class<?>>> extraProvides);
}
