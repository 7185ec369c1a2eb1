package com.lindenforgesys.reload.marker;

import java.io.FileOutputStream;
import java.io.IOException;
import java.lang.instrument.Instrumentation;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;

/**
 * A Java agent that leaves a trace of each JVM it runs in: a line with the JVM's process id, added to the file its
 * argument names.
 */
public final class MarkerAgent {
    private MarkerAgent() {
    }

    public static void premain(String file, Instrumentation inst) throws IOException {
        String name = ManagementFactory.getRuntimeMXBean().getName();  // "pid@host"
        try (FileOutputStream out = new FileOutputStream(file, true)) {
            out.write((name.substring(0, name.indexOf('@')) + "\n").getBytes(StandardCharsets.US_ASCII));
        }
    }
}
