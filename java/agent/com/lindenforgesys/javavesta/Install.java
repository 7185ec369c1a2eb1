package com.lindenforgesys.javavesta;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.FileOutputStream;
import java.io.FileWriter;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.Writer;
import java.nio.file.Files;
import java.text.SimpleDateFormat;
import java.util.Date;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.zip.ZipEntry;
import java.util.zip.ZipOutputStream;

/**
 * The installer: run by the native library in a child JVM, it writes the
 * bootstrap jar at "vesta.pelican.bootstrap_path" and exits 0, or exits
 * non-zero when it cannot.
 *
 * The jar holds "tarsilbase-classes.txt" (the base classes of the first
 * stage, a line "-", those of the second stage) and those classes under
 * "<internal/Name>.class", taken from this jar's "tarsil-base/" resources,
 * and a harmless replacement of java.util.zip.DataFormatException (the
 * JDK's API plus a static servedBy() method).
 *
 * The tests steer it with system properties, which the library copies from
 * the parent JVM:
 *   vesta.test.install.exit=N        exit with N before writing anything
 *   vesta.test.install.kill=true     kill itself with signal 9
 *   vesta.test.install.skipWrite=true exit 0 without writing the jar
 *   vesta.test.install.sleepMs=N     sleep before writing (also the environment
 *                                    variable VESTA_TEST_INSTALL_SLEEP_MS)
 *   vesta.test.install.entries=name=file[:name=file...]  add these entries
 *   vesta.test.install.count=file    append one line per run to the file
 *   vesta.test.install.chatterMs=N   write 64 KiB to standard output every N
 *                                    ms, forever
 */
public final class Install {
    /** The base classes of each stage, in definition order. */
    static final String[] FIRST_STAGE = {"java/lang/TarsilEarlyHooks"};
    static final String[] SECOND_STAGE = {"java/lang/TarsilModuleHooks"};
    /** JDK classes the jar replaces for the boot loader (a harmless one). */
    static final String[] JDK_REPLACEMENTS = {"java/util/zip/DataFormatException"};

    private static Writer log;

    private Install() {
    }

    public static void main(String[] args) {
        int status;
        try {
            openLog(System.getProperty("vesta.log.file"));
            status = run();
        } catch (Throwable t) {
            log("installation failed: " + t);
            status = 1;
        }
        closeLog();
        System.exit(status);
    }

    private static int run() throws Exception {
        String output = System.getProperty("vesta.pelican.bootstrap_path");
        log("installer started, java.home=" + System.getProperty("java.home") + ", output=" + output);
        log("java.class.path=" + System.getProperty("java.class.path"));
        String countFile = System.getProperty("vesta.test.install.count");
        if (countFile != null) {
            append(countFile, "run " + output + "\n");
        }
        if (output == null || output.isEmpty()) {
            log("no vesta.pelican.bootstrap_path given");
            return 1;
        }
        String exit = System.getProperty("vesta.test.install.exit");
        if (exit != null) {
            log("exiting with " + exit + " as requested");
            return Integer.parseInt(exit);
        }
        if (Boolean.getBoolean("vesta.test.install.kill")) {
            log("killing myself as requested");
            closeLog();
            new ProcessBuilder("/bin/sh", "-c", "kill -9 $PPID").inheritIO().start().waitFor();
            Thread.sleep(10000);
            return 1;
        }
        long chatter = Long.getLong("vesta.test.install.chatterMs", 0L);
        if (chatter > 0) {
            chatterForever(chatter);
        }
        // The environment variable leaves the runtime hash alone.
        String sleepEnv = System.getenv("VESTA_TEST_INSTALL_SLEEP_MS");
        long sleep = Long.getLong("vesta.test.install.sleepMs", sleepEnv != null ? Long.parseLong(sleepEnv) : 0L);
        if (sleep > 0) {
            Thread.sleep(sleep);
        }
        if (Boolean.getBoolean("vesta.test.install.skipWrite")) {
            log("not writing " + output + " as requested");
            return 0;
        }
        Map<String, byte[]> entries = entries();
        write(output, entries);
        log("wrote " + entries.size() + " entries to " + output);
        return 0;
    }

    private static void chatterForever(long pauseMs) throws InterruptedException {
        char[] line = new char[64 * 1024 - 1];
        java.util.Arrays.fill(line, 'c');
        String text = new String(line);
        while (true) {
            System.out.println(text);
            System.out.flush();
            Thread.sleep(pauseMs);
        }
    }

    static Map<String, byte[]> entries() throws IOException {
        Map<String, byte[]> entries = new LinkedHashMap<String, byte[]>();
        StringBuilder list = new StringBuilder();
        for (String name : FIRST_STAGE) {
            list.append(name).append('\n');
        }
        list.append("-\n");
        for (String name : SECOND_STAGE) {
            list.append(name).append('\n');
        }
        entries.put("tarsilbase-classes.txt", list.toString().getBytes("UTF-8"));
        for (String name : FIRST_STAGE) {
            entries.put(name + ".class", baseClass(name));
        }
        for (String name : SECOND_STAGE) {
            entries.put(name + ".class", baseClass(name));
        }
        for (String name : JDK_REPLACEMENTS) {
            entries.put(name + ".class", baseClass(name));
        }
        String extra = System.getProperty("vesta.test.install.entries");
        if (extra != null && !extra.isEmpty()) {
            for (String pair : extra.split(File.pathSeparator)) {
                int at = pair.indexOf('=');
                if (at <= 0) {
                    throw new IllegalArgumentException("vesta.test.install.entries: not name=file: " + pair);
                }
                entries.put(pair.substring(0, at), Files.readAllBytes(new File(pair.substring(at + 1)).toPath()));
            }
        }
        return entries;
    }

    private static byte[] baseClass(String name) throws IOException {
        String resource = "/tarsil-base/" + name.substring(name.lastIndexOf('/') + 1) + ".bin";
        InputStream in = Install.class.getResourceAsStream(resource);
        if (in == null) {
            throw new IOException("missing resource " + resource);
        }
        try {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            byte[] buffer = new byte[8192];
            for (int n; (n = in.read(buffer)) > 0; ) {
                bytes.write(buffer, 0, n);
            }
            return bytes.toByteArray();
        } finally {
            in.close();
        }
    }

    private static void write(String output, Map<String, byte[]> entries) throws IOException {
        OutputStream file = new FileOutputStream(output);
        ZipOutputStream zip = new ZipOutputStream(file);
        try {
            for (Map.Entry<String, byte[]> entry : entries.entrySet()) {
                zip.putNextEntry(new ZipEntry(entry.getKey()));
                zip.write(entry.getValue());
                zip.closeEntry();
            }
        } finally {
            zip.close();
        }
    }

    private static void append(String path, String text) throws IOException {
        Writer out = new FileWriter(path, true);
        try {
            out.write(text);
        } finally {
            out.close();
        }
    }

    private static void openLog(String path) {
        if (path == null) {
            return;
        }
        try {
            log = new FileWriter(path, true);
        } catch (IOException e) {
            System.err.println("[tarsil-install] cannot open log " + path + ": " + e);
        }
    }

    private static void log(String line) {
        String stamped = new SimpleDateFormat("yyyy-MM-dd HH:mm:ss.SSS").format(new Date()) + " " + line;
        if (log == null) {
            System.err.println("[tarsil-install] " + stamped);
            return;
        }
        try {
            log.write(stamped + "\n");
            log.flush();
        } catch (IOException e) {
            System.err.println("[tarsil-install] " + stamped);
        }
    }

    private static void closeLog() {
        if (log != null) {
            try {
                log.close();
            } catch (IOException ignored) {
                // nothing left to report it to
            }
            log = null;
        }
    }
}
