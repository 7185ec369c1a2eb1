// The library's own cost on the cache-hit path of the bootstrap jar: the
// folder (computed once per process), the runtime hash over the JVM's
// properties and the inherited options, the name, and the checks that the
// cached jar is the user's own regular file and opens as a jar.
// The properties are served by the fake JVM TI host.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "bootcache.h"
#include "bootcache_folder.h"
#include "bootcache_hash.h"
#include "jarinfo.h"
#include "support/child.h"
#include "support/fake_jvmti.h"
#include "support/jars.h"

namespace {

// As many properties as a JDK 17 `java -version` lists, with values of a
// typical length.
FakeJvmtiScript jdk17Properties(const std::string& cache) {
    FakeJvmtiScript script;
    for (int i = 0; i < 45; i++) {
        std::string name = "bench.property." + std::to_string(i);
        script.properties[name] = "value of " + name + " on this machine";
    }
    script.properties["vesta.bootcache.dir"] = cache;
    return script;
}

void BM_CacheHit(benchmark::State& state) {
    // The benchmark body may run more than once; the folder it uses is made once.
    static TempDir cache;
    FakeJvm jvm(jdk17Properties(cache.path()));
    jvmtiEnv* env = jvm.newEnv();
    JarInfo jar{const_cast<char*>("/opt/tarsil/tarsil.jar"), "", "1.1.13"};
    char hash[33];
    getRuntimeHash(env, &jar, hash);
    writeJar(cache.path() + "/tarsil-bootstrap-" + hash + ".jar", {{"tarsilbase-classes.txt", "-\n"}});
    BootFolder folder = chooseBootFolder(env);
    for (auto _ : state) {
        BootstrapJar found = getBootstrapJarFor(env, folder, &jar);
        benchmark::DoNotOptimize(found.path);
        free(found.path);
        closeBootFile(found.handle);
    }
}
BENCHMARK(BM_CacheHit)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
