package java.sql;

/**
 * A stand-in for the platform loader's java.sql.SQLDataException, which the
 * emulation tests put in the bootstrap jar under the platform loader's
 * entry name: the message carries a mark.
 */
public class SQLDataException extends SQLNonTransientException {
    private static final long serialVersionUID = -6889123282670549800L;

    public SQLDataException() {
        super();
    }

    public SQLDataException(String reason) {
        super(reason);
    }

    @Override
    public String getMessage() {
        return "served: " + super.getMessage();
    }
}
