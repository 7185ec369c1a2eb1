// The child JVM that builds the bootstrap jar: its command line, from the
// parent's inherited options, system properties and class path.
#include "bootcache_cmdline.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "agent_util.h"
#include "agent_state.h"
#include "bootcache_args.h"
#include "bootcache_files.h"
#include "bootcache_hash.h"
#include "bootcache_sources.h"
#include "bootcache_text.h"
#include "fileutils.h"
#include "list.h"
#include "logging.h"

namespace {

// The IDE runs applications with its own system class loader, which reads
// files through sun.nio.fs, closed to unnamed modules from Java 16 on (JEP
// 396, JEP 403), and finds its own classes through the boot class path
// addition the IDE gave the JVM. The child runs with the default loader but
// keeps the opening and the addition the IDE's launcher gives the JVMs it
// starts, so that it sees the boot classes the application sees.
constexpr char kIntellijLoader[] = "com.intellij.util.lang.PathClassLoader";
constexpr char kInstallerClass[] = "com.lindenforgesys.javavesta.Install";

// Appends `option` and the property's value as two entries when it is set.
void pushPropertyPair(jvmtiEnv* jvmti, ts_list* list, const char* option, const char* property) {
    if (JvmtiString value = getSystemProperty(jvmti, property)) {
        ts_list_push(list, lfts_dup(option));
        ts_list_push(list, lfts_dup(value.get()));
    }
}

// Appends `prefix` followed by the property's value when it is set.
void pushPropertyOption(jvmtiEnv* jvmti, ts_list* list, const char* prefix, const char* property) {
    if (JvmtiString value = getSystemProperty(jvmti, property)) ts_list_push(list, lfts_concat(prefix, value.get()));
}

void logSystemProperties(jvmtiEnv* jvmti, jint count, char** names) {
    log_write(TS_DEBUG, "GetSystemProperties returned %d properties", static_cast<int>(count));
    for (jint i = 0; i < count; i++) {
        if (names[i] == nullptr) continue;
        char* value = nullptr;
        jvmtiError error = jvmti->GetSystemProperty(names[i], &value);
        if (error != JVMTI_ERROR_NONE) {
            log_write(TS_DEBUG, "  prop: %s (unavailable: %d)", names[i], error);
        } else {
            log_write(TS_DEBUG, "  prop: %s = %s", names[i], value);
            deallocate(jvmti, value);
        }
    }
}

// Step by step the "-D" options: every listed property that is not left out.
void pushSystemProperties(jvmtiEnv* jvmti, ts_list* list, jint count, char** names, int intellijLoader) {
    for (jint i = 0; i < count; i++) {
        char* name = names[i];
        if (name == nullptr) continue;
        char* value = nullptr;
        if (jvmti->GetSystemProperty(name, &value) == JVMTI_ERROR_NONE) {
            if (!isIgnoredCmdProperty(name, intellijLoader)) {
                ts_list_push(list, formatHeap("-D%s=%s", name, value));
            }
            deallocate(jvmti, value);
        }
        deallocate(jvmti, name);
    }
    deallocate(jvmti, names);
}

bool anyStartsWith(char** args, int count, std::string_view prefix) {
    return std::any_of(args, args + count, [prefix](const char* arg) { return std::string_view(arg).starts_with(prefix); });
}

}  // namespace

int isIgnoredCmdProperty(const char* name, int intellijLoader) {
    std::string_view property = name;
    if (isIgnoredProperty(name) || property.starts_with("java.home") || property.starts_with("java.vm.")) return 1;
    if (isNeverInheritedProperty(property)) return 1;
    return intellijLoader && property == "jdk.boot.class.path.append";
}

char** getBootstrapBuildArguments(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath, int* count,
                                  int* userCount) {
    char* javaHome = nullptr;
    check_jvmti_error(jvmti, jvmti->GetSystemProperty("java.home", &javaHome), "get java.home");
    log_write(TS_DEBUG, "java.home is %s", javaHome);

    jint propertyCount = 0;
    char** names = nullptr;
    if (jvmti->GetSystemProperties(&propertyCount, &names) != JVMTI_ERROR_NONE) {
        propertyCount = 0;
        names = nullptr;
    }
    if (is_log_debug_enabled()) logSystemProperties(jvmti, propertyCount, names);

    ts_list* list = ts_list_init();
    ts_list_push(list, getJavaExecutable(javaHome));
    deallocate(jvmti, javaHome);

    int inheritedCount = 0;
    char** inherited = getAdditionalArgs(jvmti, &inheritedCount);
    for (int i = 0; i < inheritedCount; i++) ts_list_push(list, lfts_dup(inherited[i]));

    int intellijLoader = isPropertySet(jvmti, "java.system.class.loader", kIntellijLoader);
    if (intellijLoader) {
        ts_list_push(list, lfts_dup("--add-opens"));
        ts_list_push(list, lfts_dup("java.base/sun.nio.fs=ALL-UNNAMED"));
    }

    if (names != nullptr) pushSystemProperties(jvmti, list, propertyCount, names, intellijLoader);
    if (userCount != nullptr) *userCount = static_cast<int>(ts_list_size(list)) - 1;

    ts_list_push(list, lfts_dup("-Dvesta.pelican.bootstrap_run=true"));
    ts_list_push(list, lfts_dup("-Dvesta.pelican.bootstrap_single_jar=true"));
    ts_list_push(list, lfts_concat("-Dvesta.pelican.bootstrap_path=", outputPath));

    if (!getSystemProperty(jvmti, "vesta.skipcp")) {
        pushPropertyPair(jvmti, list, "-cp", "java.class.path");
        pushPropertyPair(jvmti, list, "-p", "jdk.module.path");
        pushPropertyPair(jvmti, list, "--upgrade-module-path", "jdk.module.upgrade.path");
    }

    ts_list_push(list, lfts_concat("-javaagent:", agentJarPath));

    // Java 8: the installer processes the classes of the boot class path, so
    // the child gets the parent's whole boot class path as it stands, however
    // it was made (-Xbootclasspath/a: or /p: from any source, endorsed
    // folders); Java 9 and later have no boot class path to hand on.
    if (!agent.java9) pushPropertyOption(jvmti, list, "-Xbootclasspath:", "sun.boot.class.path");

    if (intellijLoader && !anyStartsWith(inherited, inheritedCount, "-Xbootclasspath/a:")) {
        pushPropertyOption(jvmti, list, "-Xbootclasspath/a:", "jdk.boot.class.path.append");
    }

    ts_list_push(list, lfts_concat("-Dvesta.log.file=", HeapString(lfts_concat(outputPath, ".log")).get()));
    ts_list_push(list, lfts_dup("-Dvesta.log=trace"));
    ts_list_push(list, lfts_dup("-Dvesta.no.native.mess=true"));
    ts_list_push(list, lfts_dup(kInstallerClass));

    *count = static_cast<int>(ts_list_size(list));
    return reinterpret_cast<char**>(ts_list_to_array(list));
}

void freeBootstrapBuildArguments(int count, char** argv) {
    std::for_each(argv, argv + count, free);
    free(argv);
}

namespace {

// One argument in the argument file syntax of the Java launcher: quoted,
// with backslash escapes for the characters a quoted argument cannot hold.
void appendQuoted(std::string* file, std::string_view arg) {
    *file += '"';
    for (char c : arg) {
        switch (c) {
            case '"': *file += "\\\""; break;
            case '\\': *file += "\\\\"; break;
            case '\n': *file += "\\n"; break;
            case '\r': *file += "\\r"; break;
            case '\t': *file += "\\t"; break;
            case '\f': *file += "\\f"; break;
            default: *file += c;
        }
    }
    *file += "\"\n";
}

}  // namespace

std::string argumentFileText(char** args, int count) {
    std::string text;
    for (int i = 0; i < count; i++) appendQuoted(&text, args[i]);
    return text;
}

bool moveArgumentsToFile(char** argv, int* argc, const BootFolder& folder, const char* name) {
    int last = *argc - 1;  // the installer's main class
    if (last <= 1) return false;
    if (!createBootFile(folder, name, argumentFileText(argv + 1, last - 1))) {
        // Fail closed: the options (secrets among them) never go onto a
        // command line that every local user can read.
        int error = errno;
        log_write(TS_FATAL, "Could not write the argument file %s%s for the child JVM (%s)", folder.path.c_str(), name,
                  strerror(error));
        fatal_error_kill(1);
    }
    std::for_each(argv + 1, argv + last, free);
    argv[1] = formatHeap("@%s%s", folder.path.c_str(), name);
    argv[2] = argv[last];
    *argc = 3;
    log_write(TS_DEBUG, "The child JVM's %d arguments are in the argument file %s%s, not on its command line", last - 1,
              folder.path.c_str(), name);
    return true;
}

namespace {

// Java 8's JVM reads at most this much of JAVA_TOOL_OPTIONS: a longer value
// is ignored whole, and options past the count are dropped.
constexpr size_t kToolOptionsBytes = 1023;
constexpr size_t kToolOptionsCount = 64;
constexpr char kToolOptions[] = "JAVA_TOOL_OPTIONS";

// Whether the JVM takes `option` from JAVA_TOOL_OPTIONS as it does from the
// command line: it parses the variable itself, so the launcher's own options
// (the class path, the JVM's choice, -XX:NativeMemoryTracking=, which the
// launcher hands on in a variable of its own) must stay on the command line.
bool toolOptionsCarry(std::string_view option) {
    static constexpr std::string_view kLauncherOnly[] = {"-XXaltjvm=", "-XshowSettings", "-Xdiag", "-Xdock:",
                                                         "-XstartOnFirstThread", "-XX:NativeMemoryTracking=",
                                                         "-splash:", "-J"};
    if (option == "-X") return false;
    for (std::string_view launcherOption : kLauncherOnly) {
        if (option.starts_with(launcherOption)) return false;
    }
    for (std::string_view jvmOption : {"-D", "-X", "-javaagent:", "-agentpath:", "-agentlib:"}) {
        if (option.starts_with(jvmOption)) return true;
    }
    return false;
}

}  // namespace

std::vector<EnvironmentEdit> moveOptionsToToolOptions(char** argv, int* argc, int userCount,
                                                      std::vector<EnvironmentEdit> edits) {
    auto inherited = std::find_if(edits.begin(), edits.end(),
                                  [](const EnvironmentEdit& edit) { return edit.name == kToolOptions; });
    std::string text = inherited != edits.end() && !inherited->remove ? inherited->value : "";
    size_t count = splitOptionsText(text).size();
    // Only a run from the first option moves: the JVM reads the variable
    // before the command line, so the options keep their order.
    int moved = 0;
    int end = std::min(1 + userCount, *argc - 1);
    for (int i = 1; i < end && toolOptionsCarry(argv[i]) && count < kToolOptionsCount; i++, moved++, count++) {
        std::string longer = text + (text.empty() ? "" : " ") + joinOptionsText({argv[i]});
        if (longer.size() > kToolOptionsBytes) break;
        text = std::move(longer);
    }
    if (moved == 0) return edits;
    std::for_each(argv + 1, argv + 1 + moved, free);
    std::copy(argv + 1 + moved, argv + *argc, argv + 1);
    *argc -= moved;
    if (inherited == edits.end()) {
        edits.push_back({kToolOptions, false, text});
    } else {
        *inherited = {kToolOptions, false, text};
    }
    log_write(TS_DEBUG, "%d of the child JVM's options are in its %s, not on its command line", moved, kToolOptions);
    return edits;
}
