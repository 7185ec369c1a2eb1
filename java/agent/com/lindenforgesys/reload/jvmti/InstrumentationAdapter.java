package com.lindenforgesys.reload.jvmti;

import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.IllegalClassFormatException;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.jar.JarFile;

/**
 * java.lang.instrument.Instrumentation on top of the natives, so that an
 * ordinary premain agent runs through the native library. The library's main
 * JVM TI environment calls transform with false (loads and redefinitions),
 * its retransformation-capable one with true (loads, redefinitions and
 * retransformations); transformers registered with canRetransform run on
 * true, the others on false, as with the JDK's own agent.
 */
public class InstrumentationAdapter implements Instrumentation {
    private final MinimalInstrumentation natives;
    // Read without a lock: transform runs for every class the JVM defines,
    // on many threads at once, and re-entrantly when a transformer's own
    // class loads come back through the retransforming hook.
    private final List<ClassFileTransformer> plain = new CopyOnWriteArrayList<ClassFileTransformer>();
    private final List<ClassFileTransformer> retransforming = new CopyOnWriteArrayList<ClassFileTransformer>();

    InstrumentationAdapter(MinimalInstrumentation natives) {
        this.natives = natives;
        // Loads the list's iterator class before the library can call
        // transform. Loaded first from inside transform, it would be offered
        // to transform again on the same thread while its own load is under
        // way, and the boot loader would see a circular load.
        plain.iterator();
    }

    /**
     * Runs the transformers of one kind in registration order, each on the
     * bytes the previous one returned. A transformer that throws is skipped.
     * If no transformer changed the bytes, its exception is thrown on (the
     * library prints it); otherwise it is printed here, so that the other
     * transformers' bytes still count.
     *
     * @return the new class bytes, or null when nothing changed
     */
    byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                     ProtectionDomain protectionDomain, byte[] classfileBuffer, boolean retransform) {
        List<ClassFileTransformer> transformers = retransform ? retransforming : plain;
        if (transformers.isEmpty()) {
            return null;
        }
        byte[] current = classfileBuffer;
        boolean changed = false;
        Throwable failure = null;
        for (ClassFileTransformer transformer : transformers) {
            try {
                byte[] result = transformer.transform(loader, className, classBeingRedefined, protectionDomain,
                                                      current);
                if (result != null) {
                    current = result;
                    changed = true;
                }
            } catch (IllegalClassFormatException e) {
                // The transformer's way of declining the class: no change.
            } catch (Throwable e) {
                if (failure == null) {
                    failure = e;
                } else if (e != failure) {      // one exception object may be thrown twice
                    failure.addSuppressed(e);
                }
            }
        }
        if (failure != null) {
            if (!changed) {
                if (failure instanceof Error) {
                    throw (Error) failure;
                }
                throw failure instanceof RuntimeException ? (RuntimeException) failure
                                                          : new RuntimeException(failure);
            }
            System.err.println("[tarsil-agent] A transformer failed for " + className + ":");
            failure.printStackTrace();
        }
        return changed ? current : null;
    }

    @Override
    public synchronized void addTransformer(ClassFileTransformer transformer, boolean canRetransform) {
        if (transformer == null) {
            throw new NullPointerException("transformer");
        }
        (canRetransform ? retransforming : plain).add(transformer);
    }

    @Override
    public void addTransformer(ClassFileTransformer transformer) {
        addTransformer(transformer, false);
    }

    /** Removes the latest registration, looking among the plain transformers first, as the JDK does. */
    @Override
    public synchronized boolean removeTransformer(ClassFileTransformer transformer) {
        if (transformer == null) {
            throw new NullPointerException("transformer");
        }
        return removeLast(plain, transformer) || removeLast(retransforming, transformer);
    }

    private static boolean removeLast(List<ClassFileTransformer> transformers, ClassFileTransformer transformer) {
        int index = transformers.lastIndexOf(transformer);
        if (index < 0) {
            return false;
        }
        transformers.remove(index);
        return true;
    }

    @Override
    public boolean isRetransformClassesSupported() {
        return true;
    }

    /** Null checks are the natives' own: a null array and a null entry throw different exceptions. */
    @Override
    public void retransformClasses(Class<?>... classes) {
        natives.retransformClassesImpl(classes);
    }

    @Override
    public boolean isRedefineClassesSupported() {
        return true;
    }

    @Override
    public void redefineClasses(ClassDefinition... definitions) {
        natives.redefineClassesImpl(definitions);
    }

    @Override
    public boolean isModifiableClass(Class<?> theClass) {
        return !theClass.isPrimitive() && !theClass.isArray();
    }

    @Override
    public Class[] getAllLoadedClasses() {
        Class<?>[] all = natives.getAllLoadedClassesImpl();
        return all != null ? all : new Class<?>[0];
    }

    /** Approximated by the classes the loader defined: JVM TI's initiating loaders are not asked. */
    @Override
    public Class[] getInitiatedClasses(ClassLoader loader) {
        List<Class<?>> initiated = new ArrayList<Class<?>>();
        for (Class<?> c : getAllLoadedClasses()) {
            if (c.getClassLoader() == loader) {
                initiated.add(c);
            }
        }
        return initiated.toArray(new Class<?>[0]);
    }

    @Override
    public long getObjectSize(Object objectToSize) {
        throw new UnsupportedOperationException("getObjectSize");
    }

    @Override
    public void appendToBootstrapClassLoaderSearch(JarFile jarfile) {
        throw new UnsupportedOperationException("appendToBootstrapClassLoaderSearch");
    }

    @Override
    public void appendToSystemClassLoaderSearch(JarFile jarfile) {
        throw new UnsupportedOperationException("appendToSystemClassLoaderSearch");
    }

    @Override
    public boolean isNativeMethodPrefixSupported() {
        return true;
    }

    /**
     * One prefix for all transformers: the library keeps a single one on its
     * main environment. A null prefix means no prefix, as for the JDK.
     */
    @Override
    public void setNativeMethodPrefix(ClassFileTransformer transformer, String prefix) {
        natives.setNativeMethodPrefixImpl(prefix == null ? "" : prefix);
    }

    // Java 9 and later. No @Override: the Java 8 API check compiles these
    // with Object in place of Module.
    public void redefineModule(Module module, Set<Module> extraReads, Map<String, Set<Module>> extraExports,
                               Map<String, Set<Module>> extraOpens, Set<Class<?>> extraUses,
                               Map<Class<?>, List<Class<?>>> extraProvides) {
        throw new UnsupportedOperationException("redefineModule");
    }

    public boolean isModifiableModule(Module module) {
        return true;
    }

    /** The natives themselves, for tests of their edge cases. */
    public MinimalInstrumentation natives() {
        return natives;
    }
}
