package java.lang;

/**
 * A base class of the first stage: defined in the boot loader while
 * java.lang.String loads, so it may rest on nothing but java.lang.Object.
 * Classes the boot loader defines before the module system is up must lie
 * in java.base's packages. It is carried only in the bootstrap jar, never
 * in tarsil.jar itself, so finding it through the boot loader shows that
 * the library defined it.
 */
public final class TarsilEarlyHooks {
    private TarsilEarlyHooks() {
    }

    public static int stage() {
        return 1;
    }
}
