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
 * names; names and signatures here must match the library's java_contract.h.
 *
 * Compiled for Java 8: the seven-argument transform names java.lang.Module
 * in its descriptor only and never touches the module, so a Java 8 verifier
 * has no reason to load that class.
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
        Class<?> agentClass = Class.forName(premainClass, true, ClassLoader.getSystemClassLoader());
        try {
            Method premain = premain(agentClass, String.class, Instrumentation.class);
            if (premain != null) {
                premain.invoke(null, options, adapter);
                return;
            }
            premain = premain(agentClass, String.class);
            if (premain == null) {
                throw new NoSuchMethodException(premainClass + " has neither public static premain(String, "
                                                + "Instrumentation) nor premain(String)");
            }
            premain.invoke(null, options);
        } catch (InvocationTargetException e) {
            throw e.getCause();
        }
    }

    private static Method premain(Class<?> agentClass, Class<?>... parameters) {
        try {
            Method method = agentClass.getMethod("premain", parameters);
            return Modifier.isStatic(method.getModifiers()) ? method : null;
        } catch (NoSuchMethodException e) {
            return null;
        }
    }

    // Java 9 and later; the module is not needed to pick the transformers.
    public byte[] transform(Module module, ClassLoader loader, String className, Class<?> classBeingRedefined,
                            ProtectionDomain protectionDomain, byte[] classfileBuffer, boolean retransform) {
        return adapter.transform(loader, className, classBeingRedefined, protectionDomain, classfileBuffer,
                                 retransform);
    }

    // Java 8.
    public byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                            ProtectionDomain protectionDomain, byte[] classfileBuffer, boolean retransform) {
        return adapter.transform(loader, className, classBeingRedefined, protectionDomain, classfileBuffer,
                                 retransform);
    }

    /** What premain received. */
    public InstrumentationAdapter instrumentation() {
        return adapter;
    }

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
