package com.lindenforgesys.reload.test;

import java.lang.instrument.ClassFileTransformer;
import java.security.ProtectionDomain;

/**
 * A transformer as agents written since Java 9 are: it overrides the module
 * overload only. It records "<internal/Name> <module>" for the classes of
 * the packages "gen/" and "java/sql/", the module being its name, or
 * "unnamed-of-loader" for the unnamed module of the class's loader;
 * toString() gives the lines.
 */
public final class ModuleOnlyTransformer implements ClassFileTransformer {
    private final StringBuffer seen = new StringBuffer();

    public ModuleOnlyTransformer() {
        // Runs every path once, so that none loads a class inside the hook.
        transform(Object.class.getModule(), null, "gen/WarmUp", null, null, new byte[0]);
        transform(getClass().getModule(), getClass().getClassLoader(), "gen/WarmUp", null, null, new byte[0]);
        seen.setLength(0);
    }

    @Override
    public byte[] transform(Module module, ClassLoader loader, String className, Class<?> classBeingRedefined,
                            ProtectionDomain protectionDomain, byte[] classfileBuffer) {
        if (className != null && (className.startsWith("gen/") || className.startsWith("java/sql/"))) {
            String where = module == null ? "null"
                : module.isNamed() ? module.getName()
                : loader != null && module == loader.getUnnamedModule() ? "unnamed-of-loader" : "other-unnamed";
            seen.append(className).append(' ').append(where).append('\n');
        }
        return null;
    }

    @Override
    public String toString() {
        return seen.toString();
    }
}
