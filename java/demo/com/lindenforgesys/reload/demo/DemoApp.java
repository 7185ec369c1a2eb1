package com.lindenforgesys.reload.demo;

/**
 * Prints the greeting once a second for about ten seconds. Started with the
 * agent watching its class folder, it shows the new text as soon as
 * Greeting.class is recompiled.
 */
public final class DemoApp {
    private DemoApp() {
    }

    public static void main(String[] args) throws InterruptedException {
        int seconds = args.length > 0 ? Integer.parseInt(args[0]) : 10;
        Greeting greeting = new Greeting();
        String first = greeting.text();
        boolean changed = false;
        for (int i = 0; i < seconds; i++) {
            String text = greeting.text();
            changed |= !text.equals(first);
            System.out.println(text);
            Thread.sleep(1000);
        }
        System.out.println("The greeting changed while the application ran: " + (changed ? "yes" : "no"));
    }
}
