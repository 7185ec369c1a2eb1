package java.lang;

/**
 * A base class of the second stage: defined in the boot loader while
 * jdk.internal.module.Modules loads. Like TarsilEarlyHooks it lives only in
 * the bootstrap jar.
 */
public final class TarsilModuleHooks {
    private TarsilModuleHooks() {
    }

    public static int stage() {
        return 2;
    }
}
