package com.lindenforgesys.reload.base;

/**
 * A base class of the second stage: defined in the boot loader while
 * jdk.internal.module.Modules loads. Like EarlyHooks it lives only in the
 * bootstrap jar.
 */
public final class ModuleHooks {
    private ModuleHooks() {
    }

    public static int stage() {
        return 2;
    }
}
