package com.lindenforgesys.reload.jvmti;

import java.io.FileWriter;
import java.io.IOException;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.security.ProtectionDomain;

/**
 * The Java end of the native agent library. The library creates one instance
 * at VM init, calls {@link #loadClassAndCallPremain} once and passes every
 * class file to {@code transform}. The natives reach JVM TI; their names are
 * bound by the library.
 *
 * Compiled for Java 8: the seven-argument transform mentions
 * java.lang.Module only in its descriptor and never uses it.
 */
public class MinimalInstrumentation {
    private final InstrumentationAdapter adapter = new InstrumentationAdapter(this);

    public MinimalInstrumentation() {
    }

    public void loadClassAndCallPremain(String premainClass, String options, String libraryPath,
                                        String bootstrapJarPath) throws Throwable {
        report(premainClass, options, libraryPath, bootstrapJarPath);
        if (premainClass == null || premainClass.isEmpty()) {
            return;
        }
        Class<?> agentClass = Class.forName(premainClass, true, ClassLoader.getSystemClassLoader());
        try {
            try {
                Method premain = agentClass.getMethod("premain", String.class, Instrumentation.class);
                premain.invoke(null, options, adapter);
            } catch (NoSuchMethodException e) {
                agentClass.getMethod("premain", String.class).invoke(null, options);
            }
        } catch (InvocationTargetException e) {
            throw e.getCause();
        }
    }

    // Java 9 and later.
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

    public InstrumentationAdapter instrumentation() {
        return adapter;
    }

    native Class<?>[] getAllLoadedClassesImpl();

    native void setNativeMethodPrefixImpl(String prefix);

    native void retransformClassesImpl(Class<?>[] classes);

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
