package com.lindenforgesys.reload.jvmti;

/**
 * Stands in, in a loader of its own, for the class whose natives the agent
 * library exports: its one native is named as three transformers with the
 * prefixes "wrapped_tr2_", "wrapped_tr1_" and "wrapped_tr0_" would leave
 * getAllLoadedClassesImpl, beside the wrapper they would put in its place.
 * The JVM links it to the library's export only when those prefixes are
 * set, in that order.
 */
public class MinimalInstrumentation {
    public static Class<?>[] listThroughPrefixes() {
        return new MinimalInstrumentation().getAllLoadedClassesImpl();
    }

    Class<?>[] getAllLoadedClassesImpl() {
        return wrapped_tr0_wrapped_tr1_wrapped_tr2_getAllLoadedClassesImpl();
    }

    native Class<?>[] wrapped_tr0_wrapped_tr1_wrapped_tr2_getAllLoadedClassesImpl();
}
