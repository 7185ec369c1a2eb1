package com.lindenforgesys.reload.demo;

/** The class run-demo.sh recompiles while the demo runs. */
public class Greeting {
    public String text() {
        return "Hello from the first version";
    }
}
