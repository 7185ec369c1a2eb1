// The library's own cost on the cache-hit path of the bootstrap jar: the
// folder (computed once per process), the runtime hash over the JVM's
// properties and the inherited options, the name and the existence test.
// The properties are those of a JDK 17 `java -version`, served by the fake
// JVM TI host.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "bootcache.h"
#include "jarinfo.h"
#include "support/child.h"
#include "support/fake_jvmti.h"

namespace {

FakeJvmtiScript jdk17Properties(const std::string& cache) {
    FakeJvmtiScript script;
    const char* names[] = {
        "file.encoding", "file.separator", "java.class.path", "java.class.version", "java.home",
        "java.io.tmpdir", "java.library.path", "java.runtime.name", "java.runtime.version",
        "java.specification.name", "java.specification.vendor", "java.specification.version", "java.vendor",
        "java.vendor.url", "java.vendor.url.bug", "java.version", "java.version.date", "java.vm.compressedOopsMode",
        "java.vm.info", "java.vm.name", "java.vm.specification.name", "java.vm.specification.vendor",
        "java.vm.specification.version", "java.vm.vendor", "java.vm.version", "jdk.debug", "line.separator",
        "native.encoding", "os.arch", "os.name", "os.version", "path.separator", "sun.arch.data.model",
        "sun.boot.library.path", "sun.cpu.endian", "sun.io.unicode.encoding", "sun.java.launcher",
        "sun.jnu.encoding", "sun.management.compiler", "user.country", "user.dir", "user.home", "user.language",
        "user.name", "vesta.native.jar"};
    for (const char* name : names) script.properties[name] = std::string("value of ") + name + " on this machine";
    script.properties["vesta.bootcache.dir"] = cache;
    return script;
}

void BM_CacheHit(benchmark::State& state) {
    // The folder is chosen once per process, and the benchmark body may run
    // more than once.
    static TempDir cache;
    FakeJvm jvm(jdk17Properties(cache.path()));
    jvmtiEnv* env = jvm.newEnv();
    JarInfo jar{const_cast<char*>("/opt/tarsil/tarsil.jar"), "", "1.1.13"};
    char hash[33];
    getRuntimeHash(env, &jar, hash);
    std::ofstream(cache.path() + "/tarsil-bootstrap-" + hash + ".jar") << "cached";
    for (auto _ : state) {
        char* path = getBootstrapJarPathFor(env, &jar);
        benchmark::DoNotOptimize(path);
        free(path);
    }
}
BENCHMARK(BM_CacheHit)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
