package java.lang;

/**
 * Compile-time stand-in only, never packaged: the agent is compiled against
 * the Java 8 API, yet the library calls the seven-argument transform by a
 * descriptor that names java.lang.Module, the adapter declares
 * Instrumentation's two module methods, and the module natives take
 * modules. That code passes modules on and calls nothing on them (the
 * calls that do are in the agent's Java 9 part, compiled against the real
 * class), so on Java 8, which lacks the class, a verifier has no reason to
 * load it, and on Java 9 and later the JVM's own class takes its place.
 */
public final class Module {
    private Module() {
    }
}
