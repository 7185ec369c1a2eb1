package com.lindenforgesys.reload.test;

/** Its bytes are replaced by a transformer in one of the scenarios. */
public class Replaced {
    public String says() {
        return "original";
    }
}
