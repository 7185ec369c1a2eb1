package com.lindenforgesys.reload.jvmti;

import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.IllegalClassFormatException;
import java.lang.instrument.Instrumentation;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.jar.JarFile;

/**
 * java.lang.instrument.Instrumentation on top of the natives, so that an
 * ordinary premain agent runs through the native library. Transformers
 * registered as retransformation-capable run when the native side passes
 * true, the others when it passes false.
 */
public class InstrumentationAdapter implements Instrumentation {
    private final MinimalInstrumentation natives;
    private static final ClassFileTransformer[] NONE = new ClassFileTransformer[0];
    // Plain arrays, replaced whole on change: the transform path runs for
    // every class the JVM loads, and must not itself load a class (an
    // iterator, say) that may be the one being loaded.
    private volatile ClassFileTransformer[] plain = NONE;
    private volatile ClassFileTransformer[] retransforming = NONE;

    InstrumentationAdapter(MinimalInstrumentation natives) {
        this.natives = natives;
    }

    byte[] transform(ClassLoader loader, String className, Class<?> classBeingRedefined,
                     ProtectionDomain protectionDomain, byte[] classfileBuffer, boolean retransform) {
        ClassFileTransformer[] transformers = retransform ? retransforming : plain;
        if (transformers.length == 0) {
            return null;
        }
        byte[] current = classfileBuffer;
        boolean changed = false;
        for (int i = 0; i < transformers.length; i++) {
            ClassFileTransformer transformer = transformers[i];
            byte[] result;
            try {
                result = transformer.transform(loader, className, classBeingRedefined, protectionDomain, current);
            } catch (IllegalClassFormatException e) {
                result = null;
            }
            if (result != null) {
                current = result;
                changed = true;
            }
        }
        return changed ? current : null;
    }

    @Override
    public synchronized void addTransformer(ClassFileTransformer transformer, boolean canRetransform) {
        if (transformer == null) {
            throw new NullPointerException("transformer");
        }
        if (canRetransform) {
            retransforming = with(retransforming, transformer);
        } else {
            plain = with(plain, transformer);
        }
    }

    private static ClassFileTransformer[] with(ClassFileTransformer[] all, ClassFileTransformer added) {
        ClassFileTransformer[] result = Arrays.copyOf(all, all.length + 1);
        result[all.length] = added;
        return result;
    }

    private static ClassFileTransformer[] without(ClassFileTransformer[] all, ClassFileTransformer removed) {
        List<ClassFileTransformer> kept = new ArrayList<ClassFileTransformer>(Arrays.asList(all));
        kept.remove(removed);
        return kept.toArray(NONE);
    }

    @Override
    public void addTransformer(ClassFileTransformer transformer) {
        addTransformer(transformer, false);
    }

    @Override
    public synchronized boolean removeTransformer(ClassFileTransformer transformer) {
        int before = plain.length + retransforming.length;
        plain = without(plain, transformer);
        retransforming = without(retransforming, transformer);
        return plain.length + retransforming.length < before;
    }

    @Override
    public boolean isRetransformClassesSupported() {
        return true;
    }

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
        return natives.getAllLoadedClassesImpl();
    }

    @Override
    public Class[] getInitiatedClasses(ClassLoader loader) {
        List<Class<?>> initiated = new ArrayList<Class<?>>();
        for (Class<?> c : getAllLoadedClasses()) {
            if (c.getClassLoader() == loader) {
                initiated.add(c);
            }
        }
        return initiated.toArray(new Class[0]);
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

    @Override
    public void setNativeMethodPrefix(ClassFileTransformer transformer, String prefix) {
        natives.setNativeMethodPrefixImpl(prefix);
    }

    // Java 9 and later.
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
