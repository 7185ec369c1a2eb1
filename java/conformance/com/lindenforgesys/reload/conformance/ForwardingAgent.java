package com.lindenforgesys.reload.conformance;

import com.lindenforgesys.reload.jvmti.InstrumentationAdapter;

import java.io.IOException;
import java.lang.instrument.Instrumentation;
import java.util.jar.JarFile;
import java.util.jar.Manifest;

/**
 * The Premain-Class of tarsil-conformance.jar: starts, through the library,
 * the -javaagent agents that tools/conformance.sh took off a JVM's command
 * line. The rewrite names them, in command-line order, as the properties
 * "vesta.conformance.agent.N" (the jar, N from 1) and
 * "vesta.conformance.agent.N.options" (absent when the agent had no "=").
 * Each agent is started as the JDK starts a -javaagent: the adapter is told
 * that this jar's manifest is the agent's, the jar is added to the system
 * class loader's search, and the reference side's own premain hand-off
 * loads the Premain-Class and runs its premain. (The rewrite has put the
 * agent's Boot-Class-Path on the command line, where the JDK takes it.)
 */
public final class ForwardingAgent {
    private static final String MANIFEST_JAR = "vesta.agent.manifest.jar";

    private ForwardingAgent() {
    }

    public static void premain(String options, Instrumentation inst) throws Throwable {
        // In the child JVM that writes the bootstrap jar no agent runs.
        if (Boolean.getBoolean("vesta.pelican.bootstrap_run")) {
            return;
        }
        for (int n = 1; ; n++) {
            String jar = System.getProperty("vesta.conformance.agent." + n);
            if (jar == null) {
                return;
            }
            start(jar, System.getProperty("vesta.conformance.agent." + n + ".options"), inst);
        }
    }

    private static void start(String jarPath, String options, Instrumentation inst) throws Throwable {
        JarFile jar;
        Manifest manifest;
        try {
            jar = new JarFile(jarPath);
            manifest = jar.getManifest();
        } catch (IOException e) {
            throw new IllegalStateException("Error opening zip file or JAR manifest missing : " + jarPath, e);
        }
        String premainClass = manifest == null ? null : manifest.getMainAttributes().getValue("Premain-Class");
        if (premainClass == null) {
            throw new IllegalStateException("Failed to find Premain-Class manifest attribute in " + jarPath);
        }
        InstrumentationAdapter adapter = adapter(inst);
        // The hand-off reads the property again before the agent's class
        // initialises.
        System.setProperty(MANIFEST_JAR, jarPath);
        adapter.useAgentJar(jarPath);
        try {
            inst.appendToSystemClassLoaderSearch(jar);
        } catch (UnsupportedOperationException e) {
            // An adapter without it still runs agents whose classes are on
            // the class path; the others fail to load, which is the finding.
        }
        adapter.natives().loadClassAndCallPremain(premainClass.trim(), options, null, null);
    }

    private static InstrumentationAdapter adapter(Instrumentation inst) {
        if (!(inst instanceof InstrumentationAdapter)) {
            throw new IllegalStateException("premain received " + inst.getClass().getName()
                                            + ", not the reference adapter");
        }
        return (InstrumentationAdapter) inst;
    }
}
