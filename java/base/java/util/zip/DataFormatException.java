package java.util.zip;

/**
 * The JDK class the reference installer replaces in the bootstrap jar, to
 * show that boot-loader entries take the place of the JDK's own classes.
 * It keeps the JDK's API (a checked exception thrown only for damaged
 * deflate data) and adds one static method, so the replacement is
 * harmless and visible.
 */
public class DataFormatException extends Exception {
    private static final long serialVersionUID = 2219632870893641452L;

    public DataFormatException() {
        super();
    }

    public DataFormatException(String s) {
        super(s);
    }

    /** Present only in the bootstrap jar's version of the class. */
    public static String servedBy() {
        return "tarsil bootstrap jar";
    }
}
