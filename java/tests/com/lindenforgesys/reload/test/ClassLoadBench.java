package com.lindenforgesys.reload.test;

/** Defines many generated classes and prints the time per class. */
public final class ClassLoadBench {
    private ClassLoadBench() {
    }

    public static void main(String[] args) throws Exception {
        // Arguments win over the properties vesta.bench.classes and vesta.bench.size.
        int count = args.length > 0 ? Integer.parseInt(args[0]) : Integer.getInteger("vesta.bench.classes", 50000);
        int size = args.length > 1 ? Integer.parseInt(args[1]) : Integer.getInteger("vesta.bench.size", 2048);
        define(generate("warm", 5000, size));
        byte[][] classes = generate("bench", count, size);
        long start = System.nanoTime();
        define(classes);
        long elapsed = System.nanoTime() - start;
        System.out.println("classes " + count + " of " + classes[0].length + " bytes");
        System.out.println("ns/class " + elapsed / count);
    }

    // Class files are made before the clock starts: only defining them is timed.
    private static byte[][] generate(String prefix, int count, int size) {
        byte[][] classes = new byte[count][];
        for (int i = 0; i < count; i++) {
            classes[i] = ClassGen.generate("com/lindenforgesys/reload/test/gen/" + prefix + "/C" + i, size);
        }
        return classes;
    }

    private static void define(byte[][] classes) throws Exception {
        ClassGen.Loader loader = new ClassGen.Loader();
        for (byte[] bytes : classes) {
            loader.define(null, bytes).getDeclaredConstructor().newInstance();
        }
    }
}
