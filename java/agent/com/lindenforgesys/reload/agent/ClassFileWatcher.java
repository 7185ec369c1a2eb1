package com.lindenforgesys.reload.agent;

import java.io.File;
import java.io.IOException;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * Polls the .class files under a few folders and redefines the loaded
 * classes whose files changed. A file is read only when its time stamp or
 * length moved, and counts as changed only when its bytes differ from the
 * last ones read; what is there when the watcher is created is the baseline.
 */
public final class ClassFileWatcher implements Runnable {
    static final long POLL_MILLIS = 200;

    private final Instrumentation inst;
    private final File[] roots;
    private final Map<File, byte[]> contents = new HashMap<File, byte[]>();
    private final Map<File, List<Long>> stamps = new HashMap<File, List<Long>>();
    private boolean baselineTaken;

    /** Takes the baseline at once; empty entries of {@code dirs} are ignored. */
    public ClassFileWatcher(Instrumentation inst, String[] dirs) {
        this.inst = inst;
        List<File> existing = new ArrayList<File>();
        for (String dir : dirs) {
            if (!dir.isEmpty()) {
                existing.add(new File(dir));
            }
        }
        this.roots = existing.toArray(new File[0]);
        scan();
        baselineTaken = true;
    }

    public void run() {
        while (true) {
            try {
                Thread.sleep(POLL_MILLIS);
            } catch (InterruptedException e) {
                return;
            }
            try {
                poll();
            } catch (Throwable e) {
                // Keep watching: the next poll may well succeed.
                System.err.println("[tarsil-agent] Scanning the reload folders failed: " + e);
            }
        }
    }

    /** One round: scans and redefines what changed. */
    public void poll() {
        reload(scan());
    }

    /** Dotted class names and new contents of the class files that changed or appeared since the last scan. */
    public Map<String, byte[]> scan() {
        Map<String, byte[]> changed = new LinkedHashMap<String, byte[]>();
        for (File root : roots) {
            walk(root, root, changed);
        }
        return changed;
    }

    private void walk(File root, File dir, Map<String, byte[]> changed) {
        File[] files = dir.listFiles();
        if (files == null) {
            return;
        }
        Arrays.sort(files);
        for (File file : files) {
            if (file.isDirectory()) {
                walk(root, file, changed);
            } else if (file.getName().endsWith(".class")) {
                check(root, file, changed);
            }
        }
    }

    private void check(File root, File file, Map<String, byte[]> changed) {
        // Taken before reading: a file still being written reads longer than
        // its stamp says, so the next scan reads it again.
        List<Long> stamp = Arrays.asList(file.lastModified(), file.length());
        if (stamp.equals(stamps.get(file))) {
            return;
        }
        byte[] bytes;
        try {
            bytes = Files.readAllBytes(file.toPath());
        } catch (IOException e) {
            return;     // Gone or unreadable for now: the next scan tries again.
        }
        stamps.put(file, stamp);
        byte[] previous = contents.put(file, bytes);
        if (baselineTaken && (previous == null || !Arrays.equals(previous, bytes))) {
            changed.put(className(root, file), bytes);
        }
    }

    static String className(File root, File file) {
        String relative = root.toURI().relativize(file.toURI()).getPath();
        return relative.substring(0, relative.length() - ".class".length()).replace('/', '.');
    }

    /**
     * Redefines the loaded classes among {@code changed} in one call, so that
     * classes that changed together change at once. When that fails, each is
     * tried alone, so that every failure names its class and the others
     * still reload. Classes not loaded are left alone: they load the new
     * file when their time comes.
     */
    void reload(Map<String, byte[]> changed) {
        if (changed.isEmpty()) {
            return;
        }
        List<String> names = new ArrayList<String>();
        List<ClassDefinition> definitions = new ArrayList<ClassDefinition>();
        Map<String, Class<?>> loaded = loadedClasses(changed);
        for (Map.Entry<String, byte[]> entry : changed.entrySet()) {
            Class<?> loadedClass = loaded.get(entry.getKey());
            if (loadedClass != null) {
                names.add(entry.getKey());
                definitions.add(new ClassDefinition(loadedClass, entry.getValue()));
            }
        }
        if (definitions.isEmpty()) {
            return;
        }
        if (definitions.size() > 1) {
            try {
                inst.redefineClasses(definitions.toArray(new ClassDefinition[0]));
                for (String name : names) {
                    System.err.println("[tarsil-agent] Reloaded " + name);
                }
                return;
            } catch (Throwable e) {
                // Retried one by one below.
            }
        }
        for (int i = 0; i < definitions.size(); i++) {
            try {
                inst.redefineClasses(definitions.get(i));
                System.err.println("[tarsil-agent] Reloaded " + names.get(i));
            } catch (Throwable e) {
                System.err.println("[tarsil-agent] Could not reload " + names.get(i) + ": " + e);
            }
        }
    }

    // The first loaded class of each name; the loader does not matter.
    private Map<String, Class<?>> loadedClasses(Map<String, byte[]> wanted) {
        Map<String, Class<?>> found = new HashMap<String, Class<?>>();
        for (Class<?> c : inst.getAllLoadedClasses()) {
            String name = c.getName();
            if (wanted.containsKey(name) && !found.containsKey(name)) {
                found.put(name, c);
            }
        }
        return found;
    }
}
