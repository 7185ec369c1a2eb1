// Run as a source file (java Hello.java ...): never compiled by the build.
public class Hello {
    public static void main(String[] args) {
        System.out.println("Hello args=" + String.join(" ", args));
    }
}
