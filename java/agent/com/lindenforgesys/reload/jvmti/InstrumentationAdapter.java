package com.lindenforgesys.reload.jvmti;

import java.io.File;
import java.io.IOException;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.IllegalClassFormatException;
import java.lang.instrument.Instrumentation;
import java.lang.instrument.UnmodifiableClassException;
import java.net.JarURLConnection;
import java.net.URISyntaxException;
import java.net.URL;
import java.net.URLConnection;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.jar.Attributes;
import java.util.jar.JarFile;
import java.util.jar.Manifest;

/**
 * java.lang.instrument.Instrumentation on top of the natives, so that an
 * ordinary premain agent runs through the native library. The library's main
 * JVM TI environment calls transform with false (loads and redefinitions),
 * its retransformation-capable one with true (loads, redefinitions and
 * retransformations); transformers registered with canRetransform run on
 * true, the others on false, as with the JDK's own agent.
 *
 * What the agent may do follows the manifest of its jar, as with
 * -javaagent: Can-Redefine-Classes, Can-Retransform-Classes and
 * Can-Set-Native-Method-Prefix, each allowed by "true" in any case. The
 * agent jar is the one the Premain-Class was loaded from; the command line
 * names another with -Dvesta.agent.manifest.jar=<jar>, and a premain that
 * starts another agent's premain (the conformance run's forwarder) hands
 * that agent's jar to {@link #useAgentJar}.
 *
 * A library older than the natives beyond the four leaves them unbound:
 * each method then falls back to what the adapter did without them.
 */
public class InstrumentationAdapter implements Instrumentation {
    private final MinimalInstrumentation natives;
    // Null on Java 8, and for a jar built without its Java 9 part: the
    // transformers then get the five-argument call.
    private final ModuleCalls moduleCalls = loadModuleCalls();
    // Read without a lock: transform runs for every class the JVM defines,
    // on many threads at once, and re-entrantly when a transformer's own
    // class loads come back through the retransforming hook.
    private final List<Registration> plain = new CopyOnWriteArrayList<Registration>();
    private final List<Registration> retransforming = new CopyOnWriteArrayList<Registration>();
    private volatile Capabilities capabilities = Capabilities.NONE;
    // The library binds all the natives beyond the four, or (older) none.
    private volatile boolean olderLibrary;

    InstrumentationAdapter(MinimalInstrumentation natives) {
        this.natives = natives;
        // Loads the list's iterator class before the library can call
        // transform. Loaded first from inside transform, it would be offered
        // to transform again on the same thread while its own load is under
        // way, and the boot loader would see a circular load.
        plain.iterator();
    }

    /** One addTransformer call; a transformer registered twice runs twice. */
    private static final class Registration {
        final ClassFileTransformer transformer;
        String prefix;      // guarded by the adapter

        Registration(ClassFileTransformer transformer) {
            this.transformer = transformer;
        }
    }

    /** What the agent jar's manifest allows. */
    private static final class Capabilities {
        static final Capabilities NONE = new Capabilities(null);

        final boolean redefine;
        final boolean retransform;
        final boolean nativeMethodPrefix;

        Capabilities(Attributes manifest) {
            redefine = allows(manifest, "Can-Redefine-Classes");
            retransform = allows(manifest, "Can-Retransform-Classes");
            nativeMethodPrefix = allows(manifest, "Can-Set-Native-Method-Prefix");
        }

        private static boolean allows(Attributes manifest, String name) {
            String value = manifest == null ? null : manifest.getValue(name);
            return value != null && value.trim().equalsIgnoreCase("true");
        }
    }

    private static ModuleCalls loadModuleCalls() {
        if (MinimalInstrumentation.featureRelease() < 9) {
            return null;
        }
        try {
            return (ModuleCalls) Class.forName("com.lindenforgesys.reload.jvmti.Java9ModuleCalls")
                .getDeclaredConstructor().newInstance();
        } catch (ReflectiveOperationException e) {
            return null;
        } catch (LinkageError e) {
            return null;
        }
    }

    /**
     * Takes the manifest of the jar at {@code jarPath} for the agent's: from
     * now on its Can-Redefine-Classes, Can-Retransform-Classes and
     * Can-Set-Native-Method-Prefix decide what the adapter allows. A null
     * path, or a jar without a manifest, allows none of them. The premain
     * hand-off calls it with the agent's jar; a premain that forwards to
     * another agent calls it with that agent's jar before it forwards.
     *
     * @throws IllegalArgumentException when the jar cannot be read
     */
    public void useAgentJar(String jarPath) {
        capabilities = jarPath == null ? Capabilities.NONE : new Capabilities(mainAttributes(jarPath));
    }

    /** The premain hand-off: the jar "vesta.agent.manifest.jar" names, else the premain class's own. */
    void useAgentJarOf(Class<?> premainClass) {
        String named = System.getProperty("vesta.agent.manifest.jar");
        useAgentJar(named != null ? named : jarOf(premainClass));
    }

    private static Attributes mainAttributes(String jarPath) {
        try (JarFile jar = new JarFile(jarPath, false)) {
            Manifest manifest = jar.getManifest();
            return manifest == null ? null : manifest.getMainAttributes();
        } catch (IOException e) {
            throw new IllegalArgumentException("cannot read the manifest of " + jarPath, e);
        }
    }

    /**
     * The jar file a class was loaded from, or null. A class of the boot
     * loader, such as tarsil.jar's own agent, has no code source, but the
     * URL of its class file names the jar all the same.
     */
    static String jarOf(Class<?> c) {
        URL classFile = c.getResource("/" + c.getName().replace('.', '/') + ".class");
        if (classFile == null || !"jar".equals(classFile.getProtocol())) {
            return null;
        }
        try {
            URLConnection connection = classFile.openConnection();
            URL jar = ((JarURLConnection) connection).getJarFileURL();
            return "file".equals(jar.getProtocol()) ? new File(jar.toURI()).getPath() : null;
        } catch (IOException e) {
            return null;
        } catch (URISyntaxException e) {
            return null;
        }
    }

    /**
     * Runs the transformers of one kind in registration order, each on the
     * bytes the previous one returned. On Java 9 and later each gets the
     * module overload. A transformer that throws is skipped. If no
     * transformer changed the bytes, its exception is thrown on (the library
     * prints it); otherwise it is printed here, so that the other
     * transformers' bytes still count.
     *
     * @return the new class bytes, or null when nothing changed
     */
    byte[] transform(Module module, ClassLoader loader, String className, Class<?> classBeingRedefined,
                     ProtectionDomain protectionDomain, byte[] classfileBuffer, boolean retransform) {
        List<Registration> registrations = retransform ? retransforming : plain;
        if (registrations.isEmpty()) {
            return null;
        }
        ModuleCalls calls = moduleCalls;
        if (calls != null && module == null) {
            module = calls.moduleOf(loader, classBeingRedefined);
        }
        byte[] current = classfileBuffer;
        boolean changed = false;
        Throwable failure = null;
        for (Registration registration : registrations) {
            try {
                ClassFileTransformer transformer = registration.transformer;
                byte[] result = calls != null
                    ? calls.transform(transformer, module, loader, className, classBeingRedefined, protectionDomain,
                                      current)
                    : transformer.transform(loader, className, classBeingRedefined, protectionDomain, current);
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
            throw new NullPointerException("null passed as 'transformer' in addTransformer");
        }
        if (canRetransform && !isRetransformClassesSupported()) {
            throw new UnsupportedOperationException(
                "adding retransformable transformers is not supported in this environment");
        }
        (canRetransform ? retransforming : plain).add(new Registration(transformer));
        publishPresence();
    }

    @Override
    public void addTransformer(ClassFileTransformer transformer) {
        addTransformer(transformer, false);
    }

    /** Removes the latest registration, looking among the plain transformers first, as the JDK does. */
    @Override
    public synchronized boolean removeTransformer(ClassFileTransformer transformer) {
        if (transformer == null) {
            throw new NullPointerException("null passed as 'transformer' in removeTransformer");
        }
        boolean removed = removeLast(plain, transformer) || removeLast(retransforming, transformer);
        publishPresence();
        return removed;
    }

    // Tells the library's hooks which kinds of transformer there are: a kind
    // without any gets no class handed to Java at all.
    private void publishPresence() {
        natives.hasPlainTransformers = !plain.isEmpty();
        natives.hasRetransformingTransformers = !retransforming.isEmpty();
    }

    private static boolean removeLast(List<Registration> registrations, ClassFileTransformer transformer) {
        for (int i = registrations.size() - 1; i >= 0; i--) {
            if (registrations.get(i).transformer == transformer) {
                registrations.remove(i);
                return true;
            }
        }
        return false;
    }

    @Override
    public boolean isRetransformClassesSupported() {
        return capabilities.retransform;
    }

    @Override
    public void retransformClasses(Class<?>... classes) throws UnmodifiableClassException {
        if (!isRetransformClassesSupported()) {
            throw new UnsupportedOperationException("retransformClasses is not supported in this environment");
        }
        if (classes == null) {
            throw new NullPointerException("null passed as 'classes' in retransformClasses");
        }
        for (Class<?> c : classes) {
            requireModifiable(c, "element of 'classes' is null in retransformClasses");
        }
        if (classes.length > 0) {
            natives.retransformClassesImpl(classes);
        }
    }

    @Override
    public boolean isRedefineClassesSupported() {
        return capabilities.redefine;
    }

    @Override
    public void redefineClasses(ClassDefinition... definitions) throws UnmodifiableClassException {
        if (!isRedefineClassesSupported()) {
            throw new UnsupportedOperationException("redefineClasses is not supported in this environment");
        }
        if (definitions == null) {
            throw new NullPointerException("null passed as 'definitions' in redefineClasses");
        }
        for (ClassDefinition definition : definitions) {
            if (definition == null) {
                throw new NullPointerException("element of 'definitions' is null in redefineClasses");
            }
            requireModifiable(definition.getDefinitionClass(), "null class in redefineClasses");
        }
        if (definitions.length > 0) {
            natives.redefineClassesImpl(definitions);
        }
    }

    private void requireModifiable(Class<?> c, String nullMessage) throws UnmodifiableClassException {
        if (c == null) {
            throw new NullPointerException(nullMessage);
        }
        if (!isModifiableClass(c)) {
            throw new UnmodifiableClassException(c.getName());
        }
    }

    @Override
    public boolean isModifiableClass(Class<?> theClass) {
        if (theClass == null) {
            throw new NullPointerException("null passed as 'theClass' in isModifiableClass");
        }
        if (!olderLibrary) {
            try {
                return natives.isModifiableClassImpl(theClass);
            } catch (UnsatisfiedLinkError e) {
                olderLibrary = true;
            }
        }
        // Misses the JVM's own unmodifiable classes (hidden ones among them).
        return !theClass.isPrimitive() && !theClass.isArray();
    }

    @Override
    public Class[] getAllLoadedClasses() {
        Class<?>[] all = natives.getAllLoadedClassesImpl();
        return all != null ? all : new Class<?>[0];
    }

    @Override
    public Class[] getInitiatedClasses(ClassLoader loader) {
        if (!olderLibrary) {
            try {
                Class<?>[] initiated = natives.getInitiatedClassesImpl(loader);
                return initiated != null ? initiated : new Class<?>[0];
            } catch (UnsatisfiedLinkError e) {
                olderLibrary = true;
            }
        }
        // The classes the loader defined: it may have initiated more.
        List<Class<?>> defined = new ArrayList<Class<?>>();
        for (Class<?> c : getAllLoadedClasses()) {
            if (c.getClassLoader() == loader) {
                defined.add(c);
            }
        }
        return defined.toArray(new Class<?>[0]);
    }

    @Override
    public long getObjectSize(Object objectToSize) {
        if (objectToSize == null) {
            throw new NullPointerException("null passed as 'objectToSize' in getObjectSize");
        }
        if (!olderLibrary) {
            try {
                return natives.getObjectSizeImpl(objectToSize);
            } catch (UnsatisfiedLinkError e) {
                olderLibrary = true;
            }
        }
        throw new UnsupportedOperationException("getObjectSize");
    }

    @Override
    public void appendToBootstrapClassLoaderSearch(JarFile jarfile) {
        appendToSearch(jarfile, true);
    }

    @Override
    public void appendToSystemClassLoaderSearch(JarFile jarfile) {
        appendToSearch(jarfile, false);
    }

    private void appendToSearch(JarFile jarfile, boolean bootLoader) {
        if (jarfile == null) {
            throw new NullPointerException("jarfile");
        }
        if (!olderLibrary) {
            try {
                if (bootLoader) {
                    natives.appendToBootstrapClassLoaderSearchImpl(jarfile.getName());
                } else {
                    natives.appendToSystemClassLoaderSearchImpl(jarfile.getName());
                }
                return;
            } catch (UnsatisfiedLinkError e) {
                olderLibrary = true;
            }
        }
        throw new UnsupportedOperationException(bootLoader ? "appendToBootstrapClassLoaderSearch"
                                                           : "appendToSystemClassLoaderSearch");
    }

    @Override
    public boolean isNativeMethodPrefixSupported() {
        return capabilities.nativeMethodPrefix;
    }

    /**
     * Each transformer has a prefix of its own (null: none), kept with its
     * first registration. The JVM strips the prefixes in the reverse of the
     * order they were applied, so the natives get all prefixes of the
     * transformer's kind in registration order, the order its transformers
     * run in. Removing a transformer leaves the prefixes set: natives it
     * renamed still need its prefix to link.
     */
    @Override
    public synchronized void setNativeMethodPrefix(ClassFileTransformer transformer, String prefix) {
        if (!isNativeMethodPrefixSupported()) {
            throw new UnsupportedOperationException("setNativeMethodPrefix is not supported in this environment");
        }
        if (transformer == null) {
            throw new NullPointerException("null passed as 'transformer' in setNativeMethodPrefix");
        }
        List<Registration> kind = firstRegistration(plain, transformer) != null ? plain : retransforming;
        Registration registration = firstRegistration(kind, transformer);
        if (registration == null) {
            throw new IllegalArgumentException("transformer not registered in setNativeMethodPrefix");
        }
        registration.prefix = prefix;
        if (!olderLibrary) {
            try {
                natives.setNativeMethodPrefixesImpl(prefixesOf(kind), kind == retransforming);
                return;
            } catch (UnsatisfiedLinkError e) {
                olderLibrary = true;
            }
        }
        // An older library keeps a single prefix, on its main environment.
        natives.setNativeMethodPrefixImpl(prefix == null ? "" : prefix);
    }

    private static Registration firstRegistration(List<Registration> registrations, ClassFileTransformer transformer) {
        for (Registration registration : registrations) {
            if (registration.transformer == transformer) {
                return registration;
            }
        }
        return null;
    }

    private static String[] prefixesOf(List<Registration> registrations) {
        List<String> prefixes = new ArrayList<String>();
        for (Registration registration : registrations) {
            if (registration.prefix != null && !registration.prefix.isEmpty()) {
                prefixes.add(registration.prefix);
            }
        }
        return prefixes.toArray(new String[0]);
    }

    // Java 9 and later. No @Override: the Java 8 API check compiles these
    // against the stand-in Module (java9-names/).
    public void redefineModule(Module module, Set<Module> extraReads, Map<String, Set<Module>> extraExports,
                               Map<String, Set<Module>> extraOpens, Set<Class<?>> extraUses,
                               Map<Class<?>, List<Class<?>>> extraProvides) {
        if (moduleCalls == null) {
            throw new UnsupportedOperationException("redefineModule");
        }
        moduleCalls.redefineModule(this, module, extraReads, extraExports, extraOpens, extraUses, extraProvides);
    }

    public boolean isModifiableModule(Module module) {
        if (module == null) {
            throw new NullPointerException("'module' is null");
        }
        try {
            return natives.isModifiableModuleImpl(module);
        } catch (UnsatisfiedLinkError e) {
            return true;        // an older library: every module counts as modifiable, as for the JDK
        }
    }

    /** The natives themselves, for tests of their edge cases. */
    public MinimalInstrumentation natives() {
        return natives;
    }
}
