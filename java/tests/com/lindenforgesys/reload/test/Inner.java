package com.lindenforgesys.reload.test;

/** Loaded on purpose by a scenario. */
public class Inner {
    public String name() {
        return "Inner";
    }
}
