package java.lang;

/**
 * Compile-time stand-in only, never packaged: the agent is compiled against
 * the Java 8 API, yet the library calls the seven-argument transform by a
 * descriptor that names java.lang.Module, and the adapter declares
 * Instrumentation's two module methods. Those methods pass the module on or
 * ignore it and call nothing on it, so on Java 8, which lacks the class, a
 * verifier has no reason to load it, and on Java 9 and later the JVM's own
 * class takes its place.
 */
public final class Module {
    private Module() {
    }
}
