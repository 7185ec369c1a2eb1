// Boot class path emulation and the base class stages against the fake
// JVM TI host and JNI. Each case runs in a forked child: the emulation's
// state is process-wide.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "boot_cp_emu.h"
#include "classFileLoadHook.h"
#include "define_classes.h"
#include "logging.h"
#include "agent_state.h"
#include "support/child.h"
#include "support/fake_jni.h"
#include "support/fake_jvmti.h"
#include "support/jars.h"

namespace {

constexpr char kAppLoader[] = "jdk/internal/loader/ClassLoaders$AppClassLoader";

// The bytes the emulation served for a class, "" when it served none.
std::string serve(jvmtiEnv* jvmti, JNIEnv* jni, jobject loader, const char* name) {
    jint length = 0;
    unsigned char* data = nullptr;
    if (!bcp_emu_ClassFileLoadHook(jvmti, jni, nullptr, loader, name, nullptr, &length, &data, 0)) {
        return data == nullptr ? "" : "served nothing but stored a buffer";
    }
    std::string bytes(reinterpret_cast<char*>(data), static_cast<size_t>(length));
    jvmti->Deallocate(data);
    return bytes;
}

struct Emulated {
    TempDir dir;
    std::string jar;
    explicit Emulated(const JarEntries& entries) : jar(dir.file("bootstrap.jar")) { writeJar(jar, entries); }
};

// Runs `body` in a child with the emulation open on a jar of `entries`.
ChildResult withEmulation(const JarEntries& entries, bool java9,
                          const std::function<std::string(FakeJvm&, jvmtiEnv*, FakeJni&)>& body,
                          FakeJvmtiScript script = {}) {
    Emulated emulated(entries);
    return runInChild([&] {
        log_stderr(4);
        FakeJvm jvm(script);
        FakeJni jni;
        jvmtiEnv* env = jvm.newEnv();
        agent.java9 = java9 ? 1 : 0;
        agent.jvmti = env;
        bcp_emu_init(env, emulated.jar.c_str());
        std::string report = body(jvm, env, jni);
        bcp_emu_close(env);
        return report;
    });
}

const JarEntries kClasses = {
    {"tarsilbase-classes.txt", "-\n"},
    {"a/Boot.class", "boot bytes"},
    {std::string("@jdk.internal.loader.ClassLoaders$AppClassLoader/") + "a/App.class", "app bytes"},
    {"java/lang/LangAccessImpl.class", "never"},
    {"java/lang/management/LangManagementAccessImpl.class", "never"},
};

}  // namespace

TEST(Emulation, EntriesAreLookedUpPerLoader) {
    ChildResult child = withEmulation(kClasses, true, [](FakeJvm& jvm, jvmtiEnv* env, FakeJni& jni) {
        jobject app = jni.loader(kAppLoader);
        std::string report = serve(env, jni.env(), nullptr, "a/Boot") + "|" + serve(env, jni.env(), app, "a/App") +
                             "|" + serve(env, jni.env(), nullptr, "a/App") + "|" + serve(env, jni.env(), app, "a/Boot") +
                             "|" + serve(env, jni.env(), nullptr, "a/Missing");
        report += jvm.outstandingAllocations() == 0 ? "" : " leaked";
        return report;
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "boot bytes|app bytes|||");
}

// A class the jar does not hold under any loader costs no JVM TI call; one
// it holds under some loader pays for the loader's name.
TEST(Emulation, OnlyNamesInTheJarPayForTheLoaderName) {
    ChildResult child = withEmulation(kClasses, true, [](FakeJvm& jvm, jvmtiEnv* env, FakeJni& jni) {
        serve(env, jni.env(), nullptr, "jdk/internal/module/Modules");  // ends the start-up bookkeeping
        jobject app = jni.loader(kAppLoader);
        size_t before = jvm.calls().size();
        std::string unserved = serve(env, jni.env(), app, "com/acme/Missing") + serve(env, jni.env(), nullptr, "a/Gone");
        size_t calls = jvm.calls().size() - before;
        std::string otherLoader = serve(env, jni.env(), app, "a/Boot");
        return "[" + unserved + "] " + std::to_string(calls) + " [" + otherLoader + "] " +
               std::to_string(jvm.count("GetClassSignature"));
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "[] 0 [] 1");
}

TEST(Emulation, PrimordialLoaderNamesComeFromClassGetName) {
    FakeJvmtiScript script;
    script.failures["GetClassSignature"] = JVMTI_ERROR_WRONG_PHASE;
    script.phase = JVMTI_PHASE_PRIMORDIAL;
    ChildResult child = withEmulation(
        kClasses, true,
        [](FakeJvm&, jvmtiEnv* env, FakeJni& jni) { return serve(env, jni.env(), jni.loader(kAppLoader), "a/App"); },
        script);
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "app bytes");

    // Outside the primordial phase a loader that cannot be named is fatal.
    script.phase = JVMTI_PHASE_START;
    ChildResult fatal = withEmulation(
        kClasses, true,
        [](FakeJvm&, jvmtiEnv* env, FakeJni& jni) { return serve(env, jni.env(), jni.loader(kAppLoader), "a/App"); },
        script);
    EXPECT_EQ(fatal.exitCode, 3);
    EXPECT_NE(fatal.err.find("Failed to get class name"), std::string::npos) << fatal.err;
}

TEST(Emulation, TwoClassesAreNeverServedNorRecorded) {
    ChildResult child = withEmulation(kClasses, true, [](FakeJvm&, jvmtiEnv* env, FakeJni& jni) {
        std::string report = serve(env, jni.env(), nullptr, "java/lang/LangAccessImpl") +
                             serve(env, jni.env(), nullptr, "java/lang/management/LangManagementAccessImpl");
        serve(env, jni.env(), nullptr, "a/Boot");
        return report + std::to_string(ts_list_size(loadedClasses));
    });
    EXPECT_EQ(child.report, "1");
}

TEST(Emulation, ClosedEmulationServesNothing) {
    ChildResult child = withEmulation(kClasses, true, [](FakeJvm&, jvmtiEnv* env, FakeJni& jni) {
        bcp_emu_close(env);
        std::string report = "[" + serve(env, jni.env(), nullptr, "a/Boot") + "]";
        bcp_emu_init(env, "/nonexistent/never/opened.jar");
        return report;
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_NE(child.err.find("Tarsil-JVMTI [DEBUG] Closing BCP emulation\n"), std::string::npos);
    EXPECT_NE(child.err.find("Tarsil-JVMTI [FATAL] Error opening jar file /nonexistent/never/opened.jar\n"),
              std::string::npos)
        << child.err;
}

TEST(Emulation, OldJvmStartsAtStageOneWithoutList) {
    ChildResult child = withEmulation(kClasses, false, [](FakeJvm&, jvmtiEnv* env, FakeJni& jni) {
        std::string report = std::to_string(tarsilBaseClassesDefined) + (loadedClasses ? " list" : " nolist");
        serve(env, jni.env(), nullptr, "java/lang/Object");
        serve(env, jni.env(), nullptr, "java/lang/String");
        return report + " defined=" + std::to_string(jni.defined.size());
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "1 nolist defined=0");
}

TEST(Emulation, MappedSharedArchiveIsRefusedAtObject) {
    TempDir dir;
    std::string archive = dir.file("classes.jsa");
    writeJar(archive, {{"x", "y"}});
    ChildResult child = withEmulation(kClasses, true, [&archive](FakeJvm&, jvmtiEnv* env, FakeJni& jni) {
        // Only the first load of Object with no stage done looks.
        serve(env, jni.env(), nullptr, "a/Boot");
        int fd = open(archive.c_str(), O_RDONLY);
        void* mapping = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapping == MAP_FAILED) return std::string("mmap failed");
        serve(env, jni.env(), nullptr, "java/lang/Object");
        return std::string("not refused");
    });
    EXPECT_EQ(child.exitCode, 3) << child.report;
    EXPECT_NE(child.err.find("Tarsil-JVMTI [FATAL] Tarsil is not compatible with Class Data Sharing. Please disable "
                             "CDS by using the -Xshare:off JVM argument.\n"),
              std::string::npos)
        << child.err;
}

namespace {

// The JVM runs the load hook for a class defined through JNI.
void hookOnDefine(FakeJni& jni, jvmtiEnv* env) {
    jni.onDefine = [&jni, env](const char* name) { serve(env, jni.env(), nullptr, name); };
}

std::string joined(const std::vector<std::string>& names) {
    std::string all;
    for (const auto& name : names) all += (all.empty() ? "" : ",") + name;
    return all;
}

}  // namespace

TEST(BaseClasses, TwoStagesSkipWhatWasLoaded) {
    JarEntries entries = {{"tarsilbase-classes.txt", "a/A\n-\nb/B"}, {"a/A.class", "A"}, {"b/B.class", "B"}};
    ChildResult child = withEmulation(entries, true, [](FakeJvm&, jvmtiEnv* env, FakeJni& jni) {
        hookOnDefine(jni, env);
        serve(env, jni.env(), nullptr, "java/lang/Object");
        serve(env, jni.env(), nullptr, "java/lang/String");
        std::string report = joined(jni.defined) + " stage=" + std::to_string(tarsilBaseClassesDefined);
        serve(env, jni.env(), nullptr, "java/lang/String");  // a stage runs once
        serve(env, jni.env(), nullptr, "jdk/internal/module/Modules");
        report += " | " + joined(jni.defined) + " stage=" + std::to_string(tarsilBaseClassesDefined) +
                  (loadedClasses == nullptr ? " released" : " kept");
        return report;
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "a/A stage=1 | a/A,b/B stage=2 released");
}

// Threads that load classes while the second stage runs and releases the
// list: nothing is used after it is freed (ASan) and a class a thread
// loaded before the stage is not defined again.
TEST(BaseClasses, LoadsOnOtherThreadsRaceTheSecondStage) {
    JarEntries entries = {{"tarsilbase-classes.txt", "a/A\n-\nb/B\nc/C"},
                          {"a/A.class", "A"}, {"b/B.class", "B"}, {"c/C.class", "C"}};
    ChildResult child = withEmulation(entries, true, [](FakeJvm&, jvmtiEnv* env, FakeJni& jni) {
        hookOnDefine(jni, env);
        serve(env, jni.env(), nullptr, "java/lang/String");
        std::atomic<int> loads{0};
        std::atomic<bool> seenB{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; t++) {
            threads.emplace_back([&, t] {
                if (t == 0) seenB = !serve(env, jni.env(), nullptr, "b/B").empty();
                for (int i = 0; i < 3000; i++) {
                    std::string name = "t/C" + std::to_string(t) + "_" + std::to_string(i);
                    serve(env, jni.env(), nullptr, name.c_str());
                    loads++;
                }
            });
        }
        while (loads < 600 || !seenB) std::this_thread::yield();
        serve(env, jni.env(), nullptr, "jdk/internal/module/Modules");
        for (auto& thread : threads) thread.join();
        return joined(jni.defined) + (loadedClasses == nullptr ? " released" : " kept");
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "a/A,c/C released");
}

TEST(BaseClasses, EmptyMissingAndFailingNamesAreHandled) {
    JarEntries entries = {{"tarsilbase-classes.txt", "\n-\n\nc/Missing\nd/Fails\nd/Fine\r\ne/E"},
                          {"d/Fails.class", "x"},
                          {"e/E.class", "E"}};
    ChildResult child = withEmulation(entries, true, [](FakeJvm&, jvmtiEnv*, FakeJni& jni) {
        jni.failingDefinitions = {"d/Fails"};
        defineTarsilBaseClasses(jni.env(), 1);
        std::string report = "[" + joined(jni.defined) + "]";
        defineTarsilBaseClasses(jni.env(), 0);
        return report + " " + joined(jni.defined) + (jni.callWithExceptionPending ? " jni-with-pending" : "") +
               (jni.pending ? " left-pending" : "");
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    // "d/Fine\r" keeps its '\r' and so has no entry.
    EXPECT_EQ(child.report, "[] d/Fails,e/E");
    EXPECT_NE(child.err.find("Tarsil-JVMTI [WARN] Base class c/Missing is not in the bootstrap jar, skipped\n"),
              std::string::npos)
        << child.err;
    EXPECT_NE(child.err.find("Tarsil-JVMTI [WARN] Base class d/Fine\r is not in the bootstrap jar, skipped\n"),
              std::string::npos);
    EXPECT_NE(child.err.find("Tarsil-JVMTI [ERROR] Failed to define base class d/Fails\n"), std::string::npos);
}

TEST(BaseClasses, MissingListIsFatal) {
    ChildResult child = withEmulation({{"a/A.class", "A"}}, true, [](FakeJvm&, jvmtiEnv*, FakeJni& jni) {
        defineTarsilBaseClasses(jni.env(), 1);
        return std::string("returned");
    });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_NE(child.err.find("Tarsil-JVMTI [FATAL] Failed to extract tarsilbase-classes.txt\n"), std::string::npos);
}

TEST(Emulation, MainHookServesFirstLoadsOnlyAtEveryDepth) {
    ChildResult child = withEmulation(kClasses, true, [](FakeJvm&, jvmtiEnv* env, FakeJni& jni) {
        const unsigned char original[] = "jvm bytes";
        auto load = [&](jclass redefined, int depth) {
            for (int i = 0; i < depth; i++) monitorEnter(env);
            jint length = 0;
            unsigned char* data = nullptr;
            callback_ClassFileLoadHook_transform(env, jni.env(), redefined, nullptr, "a/Boot", nullptr, 9, original,
                                                 &length, &data);
            for (int i = 0; i < depth; i++) monitorExit(env);
            std::string bytes = data ? std::string(reinterpret_cast<char*>(data), static_cast<size_t>(length)) : "-";
            if (data) env->Deallocate(data);
            return bytes;
        };
        FakeClass redefined{"a/Boot"};
        return load(nullptr, 0) + "|" + load(nullptr, 2) + "|" + load(reinterpret_cast<jclass>(&redefined), 0);
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "boot bytes|boot bytes|-");
}

TEST(Emulation, ConcurrentLookupsAndACloseRace) {
    JarEntries entries = {{"tarsilbase-classes.txt", "-\n"}};
    for (int i = 0; i < 200; i++) {
        entries.emplace_back("p/C" + std::to_string(i) + ".class", std::string(100 + i, static_cast<char>('a' + i % 26)));
    }
    ChildResult child = withEmulation(entries, false, [](FakeJvm& jvm, jvmtiEnv* env, FakeJni& jni) {
        std::atomic<int> wrong{0};
        std::atomic<int> served{0};
        std::atomic<bool> closing{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; t++) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < 300; round++) {
                    int i = (round * 7 + t) % 250;  // 200 served, 50 not
                    std::string name = "p/C" + std::to_string(i);
                    std::string bytes = serve(env, jni.env(), nullptr, name.c_str());
                    bool shouldServe = i < 200 && !closing;
                    if (!bytes.empty()) {
                        served++;
                        if (i >= 200 || bytes != std::string(100 + i, static_cast<char>('a' + i % 26))) wrong++;
                    } else if (shouldServe && bcp_emu_enabled) {
                        // Served classes may only be missed once closing began.
                        if (!closing) wrong++;
                    }
                    if (t == 0 && round == 200) {
                        closing = true;
                        bcp_emu_close(env);
                    }
                }
            });
        }
        for (auto& thread : threads) thread.join();
        std::string report = "served>0:" + std::to_string(served > 0) + " wrong:" + std::to_string(wrong) +
                             " after:" + serve(env, jni.env(), nullptr, "p/C1") +
                             " leaked:" + std::to_string(jvm.outstandingAllocations());
        return report;
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    EXPECT_EQ(child.report, "served>0:1 wrong:0 after: leaked:0");
}
