package com.lindenforgesys.reload.bench;

import com.lindenforgesys.reload.test.ClassGen;

/**
 * Defines and instantiates many generated classes of one size, for counting
 * instructions per class load, with or without an agent. The measured loads
 * lie between two calls of System.gc(), the only ones in the run: a profiler
 * told to cut its profile at JVM_GC gets them, and nothing else, in one
 * part. The class files are made before that, and a few warm-up classes take
 * the class-load path through its first uses. Prints the wall-clock time
 * per class of the measured part too ("ns/class N").
 *   LoadMany [CLASSES [BYTES]]    (defaults 4000 and 2048)
 */
public final class LoadMany {
    private static final int WARM_UP = 200;

    private LoadMany() {
    }

    public static void main(String[] args) throws Exception {
        int count = args.length > 0 ? Integer.parseInt(args[0]) : 4000;
        int size = args.length > 1 ? Integer.parseInt(args[1]) : 2048;
        String[] warm = names("warm", WARM_UP);
        define(warm, generate(warm, size));
        String[] many = names("many", count);
        byte[][] classes = generate(many, size);
        System.gc();
        long start = System.nanoTime();
        define(many, classes);
        long elapsed = System.nanoTime() - start;
        System.gc();
        System.out.println("loaded " + count + " classes of " + classes[0].length + " bytes");
        System.out.println("ns/class " + elapsed / count);
    }

    private static String[] names(String prefix, int count) {
        String[] names = new String[count];
        for (int i = 0; i < count; i++) {
            names[i] = "com/lindenforgesys/reload/bench/gen/" + prefix + "/C" + i;
        }
        return names;
    }

    private static byte[][] generate(String[] names, int size) {
        byte[][] classes = new byte[names.length][];
        for (int i = 0; i < names.length; i++) {
            classes[i] = ClassGen.generate(names[i], size);
        }
        return classes;
    }

    // Defined under their names, as class loaders do: the JVM offers a class
    // defined without one to the hooks with a null name.
    private static void define(String[] names, byte[][] classes) throws Exception {
        ClassGen.Loader loader = new ClassGen.Loader();
        for (int i = 0; i < names.length; i++) {
            loader.define(names[i], classes[i]).getDeclaredConstructor().newInstance();
        }
    }
}
