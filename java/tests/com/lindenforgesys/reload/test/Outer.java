package com.lindenforgesys.reload.test;

/** Loaded on purpose by a scenario. */
public class Outer {
    public String name() {
        return "Outer";
    }
}
