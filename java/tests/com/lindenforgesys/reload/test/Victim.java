package com.lindenforgesys.reload.test;

/** Loaded on purpose by a scenario. */
public class Victim {
    public String name() {
        return "Victim";
    }
}
