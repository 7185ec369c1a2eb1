package com.lindenforgesys.reload.test;

/** Redefined by the scenarios; the build also compiles other versions of it. */
public class Target {
    private int added;

    public String version() {
        return "v1";
    }
}
