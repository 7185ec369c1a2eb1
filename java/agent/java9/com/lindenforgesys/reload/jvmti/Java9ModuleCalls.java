package com.lindenforgesys.reload.jvmti;

import java.lang.instrument.ClassFileTransformer;
import java.lang.instrument.IllegalClassFormatException;
import java.lang.instrument.UnmodifiableModuleException;
import java.security.ProtectionDomain;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.Set;

/**
 * The adapter's Java 9 part, compiled for Java 9 against the rest of the
 * agent and added to its jar after it (java/CMakeLists.txt). The adapter
 * creates it on Java 9 and later before the library can call transform, so
 * that no class is first loaded from inside the class-file hook. Written
 * without lambdas, and built with inline string concatenation, for the same
 * reason.
 */
final class Java9ModuleCalls implements ModuleCalls {
    // The boot loader's unnamed module has no public accessor; this class is
    // in it when the library loads the agent through the boot loader. Loaded
    // elsewhere (the pure Java tests), boot classes get no module.
    private final Module bootUnnamed =
        Java9ModuleCalls.class.getClassLoader() == null ? Java9ModuleCalls.class.getModule() : null;

    @Override
    public Module moduleOf(ClassLoader loader, Class<?> classBeingRedefined) {
        if (classBeingRedefined != null) {
            return classBeingRedefined.getModule();
        }
        return loader != null ? loader.getUnnamedModule() : bootUnnamed;
    }

    @Override
    public byte[] transform(ClassFileTransformer transformer, Module module, ClassLoader loader, String className,
                            Class<?> classBeingRedefined, ProtectionDomain protectionDomain, byte[] classfileBuffer)
            throws IllegalClassFormatException {
        return transformer.transform(module, loader, className, classBeingRedefined, protectionDomain,
                                     classfileBuffer);
    }

    /**
     * Checks every argument before the first change, so that a refused call
     * changes nothing; an unnamed module reads every module and exports and
     * opens every package already, so it is left as it is.
     */
    @Override
    public void redefineModule(InstrumentationAdapter adapter, Module module, Set<Module> extraReads,
                               Map<String, Set<Module>> extraExports, Map<String, Set<Module>> extraOpens,
                               Set<Class<?>> extraUses, Map<Class<?>, List<Class<?>>> extraProvides) {
        Objects.requireNonNull(module, "module");
        Objects.requireNonNull(extraReads, "extraReads");
        Objects.requireNonNull(extraExports, "extraExports");
        Objects.requireNonNull(extraOpens, "extraOpens");
        Objects.requireNonNull(extraUses, "extraUses");
        Objects.requireNonNull(extraProvides, "extraProvides");
        if (!module.isNamed()) {
            return;
        }
        if (!adapter.isModifiableModule(module)) {
            throw new UnmodifiableModuleException(module.getName());
        }
        Set<Module> reads = copyWithoutNull(extraReads, "'extraReads' contains null");
        Map<String, Set<Module>> exports = checkedPackages(module, extraExports);
        Map<String, Set<Module>> opens = checkedPackages(module, extraOpens);
        Set<Class<?>> uses = copyWithoutNull(extraUses, "'extraUses' contains null");
        Map<Class<?>, List<Class<?>>> provides = checkedProviders(module, extraProvides);

        MinimalInstrumentation natives = adapter.natives();
        try {
            for (Module other : reads) {
                natives.addModuleReadsImpl(module, other);
            }
            for (Map.Entry<String, Set<Module>> export : exports.entrySet()) {
                for (Module to : export.getValue()) {
                    natives.addModuleExportsImpl(module, export.getKey(), to);
                }
            }
            for (Map.Entry<String, Set<Module>> open : opens.entrySet()) {
                for (Module to : open.getValue()) {
                    natives.addModuleOpensImpl(module, open.getKey(), to);
                }
            }
            for (Class<?> service : uses) {
                natives.addModuleUsesImpl(module, service);
            }
            for (Map.Entry<Class<?>, List<Class<?>>> provided : provides.entrySet()) {
                for (Class<?> provider : provided.getValue()) {
                    natives.addModuleProvidesImpl(module, provided.getKey(), provider);
                }
            }
        } catch (UnsatisfiedLinkError e) {
            // A library older than the module natives binds none of them: the
            // first call fails before anything changed.
            throw new UnsupportedOperationException("redefineModule");
        }
    }

    // Copies first: an immutable set may refuse even to be asked about null.
    private static <T> Set<T> copyWithoutNull(Set<T> set, String message) {
        Set<T> copy = new HashSet<T>(set);
        if (copy.contains(null)) {
            throw new NullPointerException(message);
        }
        return copy;
    }

    private static Map<String, Set<Module>> checkedPackages(Module module, Map<String, Set<Module>> targetsByPackage) {
        Set<String> packages = module.getPackages();
        Map<String, Set<Module>> checked = new HashMap<String, Set<Module>>();
        for (Map.Entry<String, Set<Module>> entry : targetsByPackage.entrySet()) {
            String packageName = entry.getKey();
            if (packageName == null) {
                throw new NullPointerException("package cannot be null");
            }
            if (!packages.contains(packageName)) {
                throw new IllegalArgumentException(packageName + " not in module");
            }
            Set<Module> targets = new HashSet<Module>(entry.getValue());
            if (targets.isEmpty()) {
                throw new IllegalArgumentException("set of targets is empty");
            }
            if (targets.contains(null)) {
                throw new NullPointerException("set of targets cannot include null");
            }
            checked.put(packageName, targets);
        }
        return checked;
    }

    private static Map<Class<?>, List<Class<?>>> checkedProviders(Module module,
                                                                 Map<Class<?>, List<Class<?>>> providersByService) {
        Map<Class<?>, List<Class<?>>> checked = new HashMap<Class<?>, List<Class<?>>>();
        for (Map.Entry<Class<?>, List<Class<?>>> entry : providersByService.entrySet()) {
            Class<?> service = entry.getKey();
            if (service == null) {
                throw new NullPointerException("'extraProvides' contains null");
            }
            List<Class<?>> providers = new ArrayList<Class<?>>(entry.getValue());
            if (providers.isEmpty()) {
                throw new IllegalArgumentException("list of providers is empty");
            }
            for (Class<?> provider : providers) {
                if (provider == null) {
                    throw new NullPointerException("'extraProvides' contains null");
                }
                if (provider.getModule() != module) {
                    throw new IllegalArgumentException(provider + " not in " + module);
                }
                if (!service.isAssignableFrom(provider)) {
                    throw new IllegalArgumentException(provider + " is not a " + service);
                }
            }
            checked.put(service, providers);
        }
        return checked;
    }
}
