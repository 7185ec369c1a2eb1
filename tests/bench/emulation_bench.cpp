// The class-load path of the boot class path emulation over the classes of
// java.base: one entry-name build, one index lookup under the raw monitor
// and, for a served class, one extraction into a JVM TI buffer. The fake
// JVM TI host (with its call log off) supplies Allocate and the monitor.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "boot_cp_emu.h"
#include "agent_state.h"
#include "support/fake_jvmti.h"
#include "zip.h"

namespace {

struct Setup {
    std::unique_ptr<FakeJvm> jvm;
    jvmtiEnv* env = nullptr;
    std::vector<std::string> served;    // internal names the jar has
    std::vector<std::string> unserved;  // names it has not
};

Setup& setup() {
    static Setup instance = [] {
        Setup s;
        const char* jar = getenv("TARSIL_BENCH_JAR");
        if (jar == nullptr) {
            fprintf(stderr, "TARSIL_BENCH_JAR is not set\n");
            exit(2);
        }
        FakeJvmtiScript script;
        script.recordCalls = false;
        s.jvm = std::make_unique<FakeJvm>(script);
        s.env = s.jvm->newEnv();
        agent.java9 = 0;  // no base class stages, no class data sharing check
        bcp_emu_init(s.env, jar);
        for (size_t i = 0; i < bootJar.entryCount(); i++) {
            std::string name(bootJar.entryName(static_cast<int64_t>(i)));
            // Loading Modules would start the second base class stage.
            if (name.size() > 6 && name.ends_with(".class") && name != "jdk/internal/module/Modules.class") {
                s.served.push_back(name.substr(0, name.size() - 6));
                s.unserved.push_back("com/example/app/" + s.served.back().substr(s.served.back().rfind('/') + 1));
            }
        }
        return s;
    }();
    return instance;
}

void load(benchmark::State& state, const std::vector<std::string>& names, bool expectServed) {
    Setup& s = setup();
    size_t i = static_cast<size_t>(state.thread_index()) * 7919;
    for (auto _ : state) {
        const std::string& name = names[i++ % names.size()];
        jint length = 0;
        unsigned char* data = nullptr;
        int found = bcp_emu_ClassFileLoadHook(s.env, nullptr, nullptr, nullptr, name.c_str(), nullptr, &length, &data, 0);
        if (found != (expectServed ? 1 : 0)) state.SkipWithError("unexpected lookup result");
        if (data != nullptr) s.env->Deallocate(data);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_EmulationServedClass(benchmark::State& state) {
    load(state, setup().served, true);
}
void BM_EmulationUnservedClass(benchmark::State& state) {
    load(state, setup().unserved, false);
}

BENCHMARK(BM_EmulationServedClass)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_EmulationUnservedClass)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
