package com.lindenforgesys.reload.bench;

import com.lindenforgesys.reload.test.ClassGen;
import java.lang.instrument.ClassDefinition;
import java.lang.instrument.Instrumentation;

/**
 * Redefines one class N times through the agent's Instrumentation,
 * alternating two versions of it, and retransforms it after every tenth
 * redefinition, for counting instructions per redefinition and per
 * retransformation. As in LoadMany, the loop lies between the run's only two
 * calls of System.gc().
 *   RedefineBench [REDEFINITIONS]    (default 20000)
 */
public final class RedefineBench {
    private static final int WARM_UP = 100;

    private RedefineBench() {
    }

    public static void main(String[] args) throws Exception {
        int count = args.length > 0 ? Integer.parseInt(args[0]) : 20000;
        Instrumentation inst = BenchAgent.instrumentation();
        // The two versions differ in an unused constant only: what is
        // measured is the redefinition path, the same for any class.
        String name = "com/lindenforgesys/reload/bench/gen/Redefined";
        byte[][] versions = {ClassGen.generate(name, 2048), ClassGen.generate(name, 2049)};
        Class<?> target = new ClassGen.Loader().define(name, versions[0]);
        target.getDeclaredConstructor().newInstance();
        // The first rounds take the path through its first uses.
        redefine(inst, target, versions, WARM_UP);
        System.gc();
        int retransformations = redefine(inst, target, versions, count);
        System.gc();
        System.out.println("redefinitions " + count + " retransformations " + retransformations);
    }

    // Returns the number of retransformations.
    private static int redefine(Instrumentation inst, Class<?> target, byte[][] versions, int count)
            throws Exception {
        int retransformations = 0;
        for (int i = 1; i <= count; i++) {
            inst.redefineClasses(new ClassDefinition(target, versions[i % 2]));
            if (i % 10 == 0) {
                inst.retransformClasses(target);
                retransformations++;
            }
        }
        return retransformations;
    }
}
