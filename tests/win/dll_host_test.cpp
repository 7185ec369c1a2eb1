// Loads the built agent DLL as a JVM would, finds its entry points by their
// undecorated names and drives them through the fake JVM TI host: the agent
// finds tarsil.jar beside itself, builds its bootstrap jar with a fake
// java.exe, registers its callbacks, serves a class from that jar through the
// class-file load hook, and unloads.
// The build names its files in the environment (death tests run this program
// again with GoogleTest's arguments only): TARSIL_TEST_DLL, TARSIL_TEST_AGENT_JAR
// and TARSIL_TEST_FAKE_JAVA, as paths of the build machine.
#include "win_test_support.h"  // first: it brings <windows.h>

#include <gtest/gtest.h>

#include <jvmti.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/fake_jvmti.h"

namespace {

using AgentOnLoad = jint(JNICALL*)(JavaVM*, char*, void*);
using AgentOnUnload = void(JNICALL*)(JavaVM*);

// wine shows the build machine's root as drive Z:.
std::string windowsPath(std::string path) {
    if (path.starts_with("/")) path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string builtFile(const char* variable) {
    const char* path = getenv(variable);
    return path != nullptr ? windowsPath(path) : std::string();
}

const std::string builtDll = builtFile("TARSIL_TEST_DLL");
const std::string builtAgentJar = builtFile("TARSIL_TEST_AGENT_JAR");
const std::string builtFakeJava = builtFile("TARSIL_TEST_FAKE_JAVA");

std::string leafOf(const std::string& path) {
    return path.substr(path.find_last_of('\\') + 1);
}

bool copy(const std::string& from, const std::string& to) {
    return CopyFileW(widen(from).c_str(), widen(to).c_str(), FALSE) != 0;
}

bool has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

// The agent's layout: the DLL and tarsil.jar in one folder, a JDK whose
// bin\java.exe is the fake, and an empty bootstrap cache.
struct Installation {
    TempDir root;
    std::string agentFolder;
    std::string dll;
    std::string javaHome = root.file("jdk");
    std::string cache = root.file("cache");

    explicit Installation(const std::string& agentFolderName = "agent")
        : agentFolder(root.file(agentFolderName)), dll(agentFolder + "\\" + leafOf(builtDll)) {}

    bool make() {
        if (builtDll.empty() || builtAgentJar.empty() || builtFakeJava.empty()) return false;
        for (const std::string& folder : {agentFolder, javaHome, javaHome + "\\bin", cache}) {
            // A death test's child finds its parent's folders already made.
            if (!CreateDirectoryW(widen(folder).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                return false;
            }
        }
        return copy(builtDll, dll) && copy(builtAgentJar, agentFolder + "\\tarsil.jar") &&
               copy(builtFakeJava, javaHome + "\\bin\\java.exe");
    }

    std::vector<std::string> cachedJars() const {
        std::vector<std::string> jars;
        for (const std::string& name : filesIn(cache)) {
            if (name.starts_with("tarsil-bootstrap-") && name.ends_with(".jar") && !name.ends_with(".tmp.jar")) {
                jars.push_back(name);
            }
        }
        return jars;
    }

    // What the fake java.exe recorded of its command line.
    std::string childArguments() const {
        for (const std::string& name : filesIn(cache)) {
            if (name.ends_with(".tmp.jar.args")) return readFile(cache + "\\" + name);
        }
        return "";
    }
};

FakeJvmtiScript hotspot(const Installation& installation) {
    FakeJvmtiScript script;
    script.properties["java.vm.vendor"] = "Oracle Corporation";
    script.properties["java.home"] = installation.javaHome;
    script.properties["vesta.bootcache.dir"] = installation.cache;
    script.properties["java.class.path"] = "C:\\app\\app.jar";
    return script;
}

// The DLL loaded with its two entry points, freed again at the end.
struct LoadedAgent {
    HMODULE library;
    AgentOnLoad onLoad = nullptr;
    AgentOnUnload onUnload = nullptr;

    explicit LoadedAgent(const std::string& dll) : library(LoadLibraryW(widen(dll).c_str())) {
        if (library == nullptr) return;
        onLoad = reinterpret_cast<AgentOnLoad>(reinterpret_cast<void*>(GetProcAddress(library, "Agent_OnLoad")));
        onUnload =
            reinterpret_cast<AgentOnUnload>(reinterpret_cast<void*>(GetProcAddress(library, "Agent_OnUnload")));
    }
    ~LoadedAgent() { unload(); }
    bool unload() {
        bool freed = library != nullptr && FreeLibrary(library);
        library = nullptr;
        return freed;
    }
};

struct ClassEvent {
    jint length = 0;
    unsigned char* data = nullptr;
};

ClassEvent loadClass(const jvmtiEventCallbacks& callbacks, jvmtiEnv* env, const char* name) {
    static const unsigned char original[] = {0xCA, 0xFE, 0xBA, 0xBE};
    ClassEvent event;
    callbacks.ClassFileLoadHook(env, nullptr, nullptr, nullptr, name, nullptr, sizeof original, original,
                                &event.length, &event.data);
    return event;
}

}  // namespace

TEST(AgentDll, LoadsInitialisesServesAClassAndUnloads) {
    Installation installation;
    ASSERT_TRUE(installation.make()) << installation.root.path();
    ASSERT_EQ(getenv("VESTA_NATIVE_PRESENT"), nullptr);

    LoadedAgent agent(installation.dll);
    ASSERT_NE(agent.library, nullptr) << "LoadLibraryW failed with " << GetLastError();
    ASSERT_NE(agent.onLoad, nullptr);
    ASSERT_NE(agent.onUnload, nullptr);

    FakeJvm jvm(hotspot(installation));
    char options[] = "debug";
    ASSERT_EQ(agent.onLoad(jvm.vm(), options, nullptr), 0);

    // The bootstrap jar was built by the fake java.exe and published.
    std::vector<std::string> jars = installation.cachedJars();
    ASSERT_EQ(jars.size(), 1u);
    std::string recorded = installation.childArguments();
    EXPECT_TRUE(has(recorded, "-Dvesta.pelican.bootstrap_run=true\n")) << recorded;
    EXPECT_TRUE(has(recorded, "-cp\nC:\\app\\app.jar\n")) << recorded;
    EXPECT_TRUE(has(recorded, "-javaagent:" + installation.agentFolder + "\\tarsil.jar\n")) << recorded;
    EXPECT_STREQ(getenv("VESTA_NATIVE_PRESENT"), "true");

    // Both environments got their capabilities, callbacks and events.
    std::vector<jvmtiEnv*> envs = jvm.envs();
    ASSERT_EQ(envs.size(), 2u);
    jvmtiEnv* main = envs[0];
    jvmtiEnv* retransform = envs[1];
    EXPECT_TRUE(jvm.capabilities(main).can_redefine_classes);
    EXPECT_TRUE(jvm.capabilities(main).can_generate_all_class_hook_events);
    EXPECT_TRUE(jvm.capabilities(main).can_generate_early_class_hook_events);
    EXPECT_TRUE(jvm.capabilities(retransform).can_retransform_classes);
    EXPECT_EQ(jvm.nativeMethodPrefix(), "_ts$jni$");
    EXPECT_TRUE(jvm.called("AddToBootstrapClassLoaderSearch(" + installation.agentFolder + "\\tarsil.jar)"));
    for (const char* event : {"SetEventNotificationMode(1,57)", "SetEventNotificationMode(1,50)",
                              "SetEventNotificationMode(1,54)"}) {
        EXPECT_TRUE(jvm.called(event)) << event;
    }
    const jvmtiEventCallbacks& callbacks = jvm.callbacks(main);
    ASSERT_NE(callbacks.VMStart, nullptr);
    ASSERT_NE(callbacks.VMInit, nullptr);
    ASSERT_NE(callbacks.ClassFileLoadHook, nullptr);
    EXPECT_NE(jvm.callbacks(retransform).ClassFileLoadHook, nullptr);
    EXPECT_EQ(jvm.callbacks(retransform).VMStart, nullptr);

    // Before VM init the hook makes no Java call; the boot class path
    // emulation serves the bootstrap jar's class, and leaves others alone.
    ClassEvent served = loadClass(callbacks, main, "com/acme/Served");
    ASSERT_NE(served.data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(served.data), served.length), "served-bytes");
    EXPECT_EQ(main->Deallocate(served.data), JVMTI_ERROR_NONE);
    ClassEvent other = loadClass(callbacks, main, "com/acme/Other");
    EXPECT_EQ(other.data, nullptr);

    // VM start withdraws the marker, so children may load the agent again.
    callbacks.VMStart(main, nullptr);
    EXPECT_EQ(getenv("VESTA_NATIVE_PRESENT"), nullptr);

    // A second agent in the same JVM stands back.
    size_t envCount = jvm.envs().size();
    EXPECT_EQ(agent.onLoad(jvm.vm(), options, nullptr), 0);
    EXPECT_EQ(jvm.envs().size(), envCount);

    agent.onUnload(jvm.vm());
    EXPECT_TRUE(agent.unload());
    EXPECT_EQ(GetModuleHandleW(widen(installation.dll).c_str()), nullptr);

    std::string log = readFile(installation.cache + "\\tarsil.boot.log");
    EXPECT_TRUE(has(log, "Tarsil-JVMTI [DEBUG] Searching for tarsil.jar in " + installation.agentFolder +
                             "\\tarsil.jar\n"))
        << log;
    EXPECT_TRUE(has(log, "using java executable " + installation.javaHome + "\\bin\\java.exe\n")) << log;
    EXPECT_TRUE(has(log, "fake installer writing ")) << log;
    EXPECT_TRUE(has(log, "Tarsil-JVMTI [DEBUG] Agent initialization completed.\n")) << log;
    EXPECT_TRUE(has(log, "Tarsil-JVMTI [DEBUG] Agent unloaded.\n")) << log;
    EXPECT_TRUE(has(log, "Tarsil-JVMTI [DEBUG] Multiple Tarsil agents found!\n")) << log;
}

TEST(AgentDll, ReloadedAgentTakesTheCachedJar) {
    Installation installation;
    ASSERT_TRUE(installation.make()) << installation.root.path();
    for (int round = 0; round < 2; round++) {
        LoadedAgent agent(installation.dll);
        ASSERT_NE(agent.onLoad, nullptr);
        FakeJvm jvm(hotspot(installation));
        ASSERT_EQ(agent.onLoad(jvm.vm(), nullptr, nullptr), 0);
        jvm.callbacks(jvm.envs()[0]).VMStart(jvm.envs()[0], nullptr);
        agent.onUnload(jvm.vm());
    }
    EXPECT_EQ(installation.cachedJars().size(), 1u);
    // The log of the second load: the jar came from the cache, no child ran.
    std::string log = readFile(installation.cache + "\\tarsil.boot.log");
    EXPECT_TRUE(has(log, "Bootstrap jar found from bootcache: " + installation.cache + "\\tarsil-bootstrap-"))
        << log;
    EXPECT_FALSE(has(log, "Executing command:")) << log;
}

TEST(AgentDllDeathTest, FolderOutsideTheCodePageEndsTheLoad) {
    if (GetACP() == CP_UTF8) GTEST_SKIP() << "a UTF-8 code page expresses every path";
    Installation installation("agent-\xe4\xb8\xad\xce\xa9");
    ASSERT_TRUE(installation.make()) << installation.root.path();
    auto load = [&] {
        LoadedAgent agent(installation.dll);
        if (agent.onLoad == nullptr) exit(10);
        FakeJvm jvm(hotspot(installation));
        agent.onLoad(jvm.vm(), nullptr, nullptr);
        exit(0);
    };
    EXPECT_EXIT(load(), testing::ExitedWithCode(3),
                literal("Tarsil-JVMTI [FATAL] Error, Tarsil was found in a path that is not expressible in the "
                        "system's code page, which is unsupported by Java running on Windows.\n"
                        "Tarsil-JVMTI [FATAL] Please copy or move the Tarsil files to a different folder and update "
                        "the -agentpath argument to reflect the new path.\n") +
                    "$");
}
