package com.lindenforgesys.reload.other;

/** A jar without the classes the native library needs. */
public final class Nothing {
    private Nothing() {
    }
}
