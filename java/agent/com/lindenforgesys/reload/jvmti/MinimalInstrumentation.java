package com.lindenforgesys.reload.jvmti;

import java.io.FileWriter;
import java.io.IOException;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.security.ProtectionDomain;

/**
 * The Java end of the native agent library. The library loads this class
 * through the boot class loader, creates one instance at VM init, calls
 * {@link #loadClassAndCallPremain} once and then offers every class file the
 * JVM defines to {@code transform}. The four natives are bound by their JNI
 * names, the others by the library's RegisterNatives, each only where this
 * class declares it; names and signatures here must match the library's
 * java_contract.h.
 *
 * Compiled for Java 8: the seven-argument transform and the module natives
 * name java.lang.Module in their descriptors only and never touch a module,
 * so a Java 8 verifier has no reason to load that class.
 */
public class MinimalInstrumentation {
    private final InstrumentationAdapter adapter = new InstrumentationAdapter(this);

    public MinimalInstrumentation() {
    }

    /**
     * Loads the agent's Premain-Class through the system class loader and
     * runs its premain, as the JDK does for -javaagent. An exception from
     * premain is thrown on unwrapped; the library then ends the JVM.
     *
     * @param premainClass the manifest's Premain-Class, "" when it has none
     * @param options the -agentpath option string, null when there is none
     */
    public void loadClassAndCallPremain(String premainClass, String options, String libraryPath,
                                        String bootstrapJarPath) throws Throwable {
        report(premainClass, options, libraryPath, bootstrapJarPath);
        if (premainClass == null || premainClass.isEmpty()) {
            return;
        }
        Class<?> agentClass = Class.forName(premainClass, false, ClassLoader.getSystemClassLoader());
        // Before the class initialises: what it may do follows its jar's manifest.
        adapter.useAgentJarOf(agentClass);
        Method premain = premainOf(agentClass);
        try {
            if (premain.getParameterTypes().length == 2) {
                premain.invoke(null, options, adapter);
            } else {
                premain.invoke(null, options);
            }
        } catch (InvocationTargetException e) {
            throw e.getCause();
        }
    }

    /**
     * The premain the JDK's agent of the running release would call: a static
     * premain(String, Instrumentation), else premain(String), declared by the
     * class; before Java 17 also inherited ones, in the same order, whatever
     * their access. From Java 17 on a premain that is not public is refused,
     * and only the class itself may be non-public (outside named modules,
     * where the refused setAccessible leaves invoke to report it).
     */
    /**
     * The running JVM's feature release (8, 9, ... 17...), from the class file
     * version it reads: 52 on Java 8, one more for every release since.
     */
    static int featureRelease() {
        String classVersion = System.getProperty("java.class.version", "52.0");
        int dot = classVersion.indexOf('.');
        return Integer.parseInt(dot < 0 ? classVersion : classVersion.substring(0, dot)) - 44;
    }

    private static Method premainOf(Class<?> agentClass) throws NoSuchMethodException, IllegalAccessException {
        boolean declaredOnly = featureRelease() >= 17;
        Method premain = null;
        for (int inherited = 0; premain == null && inherited < (declaredOnly ? 1 : 2); inherited++) {
            premain = premain(agentClass, inherited == 1, String.class, Instrumentation.class);
            if (premain == null) {
                premain = premain(agentClass, inherited == 1, String.class);
            }
        }
        if (premain == null) {
            throw new NoSuchMethodException(agentClass.getName() + " has neither a static premain(String, "
                                            + "Instrumentation) nor a static premain(String)");
        }
        if (declaredOnly && !Modifier.isPublic(premain.getModifiers())) {
            throw new IllegalAccessException("method " + agentClass.getName() + ".premain must be declared public");
        }
        if (!declaredOnly || !Modifier.isPublic(agentClass.getModifiers())) {
            try {
                premain.setAccessible(true);
            } catch (RuntimeException e) {
                // a named module's class: invoke throws IllegalAccessException
            }
        }
        return premain;
    }

    private static Method premain(Class<?> agentClass, boolean inherited, Class<?>... parameters) {
        try {
            Method method = inherited ? agentClass.getMethod("premain", parameters)
                                      : agentClass.getDeclaredMethod("premain", parameters);
            return Modifier.isStatic(method.getModifiers()) ? method : null;
        } catch (NoSuchMethodException e) {
            return null;
        }
    }

    // Java 9 and later: the module goes on to the transformers. Null for a
    // class of an unnamed module.
    public byte[] transform(Module module, ClassLoader loader, String className, Class<?> classBeingRedefined,
                            ProtectionDomain protectionDomain, byte[] classfileBuffer, boolean retransform) {
        return adapter.transform(module, loader, className, classBeingRedefined, protectionDomain, classfileBuffer,
                                 retransform);
    }

    // Java 8.
    public byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                            ProtectionDomain protectionDomain, byte[] classfileBuffer, boolean retransform) {
        return adapter.transform(null, loader, className, classBeingRedefined, protectionDomain, classfileBuffer,
                                 retransform);
    }

    /** What premain received. */
    public InstrumentationAdapter instrumentation() {
        return adapter;
    }

    // Whether the adapter has plain and retransforming transformers: the
    // library reads them in its class-file load hooks (java_contract.h) and
    // skips the Java call of a kind that has none.
    volatile boolean hasPlainTransformers;
    volatile boolean hasRetransformingTransformers;

    // Implemented by the library. Package-private: only the adapter calls
    // them (and, in the pure Java tests, a subclass in this package replaces
    // them).

    /** All classes JVM TI lists, in its order; null when the library is not ready. */
    native Class<?>[] getAllLoadedClassesImpl();

    /** Sets the prefix on the main JVM TI environment; must not be null. */
    native void setNativeMethodPrefixImpl(String prefix);

    /** Throws NullPointerException("Error") for a null array, Error("JVMTI_ERROR_NULL_POINTER") for a null entry. */
    native void retransformClassesImpl(Class<?>[] classes);

    /** A null or empty array does nothing; JVM TI failures become exceptions named after the error. */
    native void redefineClassesImpl(ClassDefinition[] definitions);

    // The natives beyond the four. A library older than them leaves them
    // unbound, and a call throws UnsatisfiedLinkError: the adapter then
    // falls back to what it did without them. The adapter checks the
    // arguments the Instrumentation interface documents before it calls.

    native long getObjectSizeImpl(Object object);

    native void appendToBootstrapClassLoaderSearchImpl(String jarPath);

    native void appendToSystemClassLoaderSearchImpl(String jarPath);

    native boolean isModifiableClassImpl(Class<?> theClass);

    /** The classes {@code loader} (null: the boot loader) initiated; may be null when the library is not ready. */
    native Class<?>[] getInitiatedClassesImpl(ClassLoader loader);

    /**
     * All prefixes of one kind of transformer, in registration order: on the
     * retransforming environment when {@code retransformCapable}, else on the
     * main one, after the library's own prefix.
     */
    native void setNativeMethodPrefixesImpl(String[] prefixes, boolean retransformCapable);

    // Java 9 and later: the library binds them there only.

    native boolean isModifiableModuleImpl(Module module);

    native void addModuleReadsImpl(Module module, Module other);

    native void addModuleExportsImpl(Module module, String packageName, Module to);

    native void addModuleOpensImpl(Module module, String packageName, Module to);

    native void addModuleUsesImpl(Module module, Class<?> service);

    native void addModuleProvidesImpl(Module module, Class<?> service, Class<?> provider);

    // Tests read the four arguments from the file "vesta.test.report" names.
    private static void report(String premainClass, String options, String libraryPath, String bootstrapJarPath)
            throws IOException {
        String file = System.getProperty("vesta.test.report");
        if (file == null) {
            return;
        }
        try (FileWriter out = new FileWriter(file, true)) {
            out.write("premain premainClass=" + premainClass + " options=" + options + " library=" + libraryPath
                      + " bootstrap=" + bootstrapJarPath + "\n");
        }
    }
}
