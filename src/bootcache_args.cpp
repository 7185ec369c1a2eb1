// The parent JVM's options that the child JVM building the bootstrap jar
// inherits, from every source of options: the -X, -XX, "--" and -agentpath
// options before the main class, less those that only concern the parent
// and those the library's child must never take over; and the system
// properties the child never gets.
#include "bootcache_args.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "agent_state.h"
#include "bootcache_grammar.h"
#include "bootcache_text.h"
#include "list.h"
#include "logging.h"

namespace {

constexpr std::string_view kIgnoredDashDashPrefixes[] = {"--class-path", "--module-path", "--upgrade-module-path",
                                                         "--describe-module"};
constexpr std::string_view kIgnoredDashDashExact[] = {
    "--console", "--list-modules", "--dry-run", "--validate-modules", "--version", "--show-version",
    "--show-module-resolution", "--help", "--help-extra"};

// What the child never inherits from any source, beyond the lists above:
// the child JVM is the library's, not a copy of the user's JVM, and none of
// the user's configuration may act inside it. The -XX: flags are HotSpot's
// (product, diagnostic and experimental ones of releases 8 to 28; OpenJ9
// takes some of them too), matched by name in every spelling.
//
// Debuggers and agents: a debugger makes the child wait for the user's IDE
// (suspend=y) or connect to it as a second debuggee (server=n), and the
// user's Java agents would run inside the child, however they are loaded:
// -javaagent: (-agentlib:instrument), any -Xrun library (HotSpot loads one
// without JVM_OnLoad as an agent, so -Xruninstrument:app.jar runs app.jar's
// premain), or an -agentpath: naming the JDK's instrument or debugger
// library (isJdkAgentPath). -agentlib: and -javaagent: fall through the
// filter anyway. -XX:+PauseAtStartup makes the JVM wait, as suspend=y does,
// until the file it creates (PauseAtStartupFile) is removed.
constexpr std::string_view kDebuggerPrefixes[] = {"-agentlib:", "-javaagent:", "-Xrun", "-Xdebug"};
constexpr std::string_view kDebuggerFlags[] = {"PauseAtStartup", "PauseAtStartupFile"};
// The JDK's debugger back end and the agent that runs Java agents, by file
// name in each platform's spelling; Windows' LoadLibrary adds ".dll" to a
// name that has no extension.
constexpr std::string_view kJdkAgentLibraryPrefixes[] = {"libjdwp.", "libinstrument."};
constexpr std::string_view kJdkAgentLibraryNames[] = {"jdwp.dll", "instrument.dll", "jdwp", "instrument"};
// macOS and Windows file systems ignore case by default: LIBJDWP.dylib and
// Instrument.DLL load the JDK's own libraries as well.
#if defined(_WIN32) || defined(__APPLE__)
constexpr bool kFileNamesIgnoreCase = true;
#else
constexpr bool kFileNamesIgnoreCase = false;
#endif
// Memory sizes: the child is a short JVM that needs little, and the sizes
// chosen for the application (a heap of many gigabytes, a share of the
// container's memory) would have it reserve and commit as much again beside
// the application, or fail to start where memory is short. The heap in
// every spelling (-Xmx is MaxHeapSize, -Xms InitialHeapSize and MinHeapSize,
// -Xmn NewSize and MaxNewSize), what HotSpot sizes it from (MaxRAM and the
// percentages and fractions of it), the permanent generation (Java 7) and
// the code cache. -Xss stays: a thread's stack is no memory the JVM takes
// up front.
constexpr std::string_view kMemorySizePrefixes[] = {"-Xmx", "-Xms", "-Xmn"};
constexpr std::string_view kMemorySizeFlags[] = {
    "MaxHeapSize", "InitialHeapSize", "MinHeapSize", "SoftMaxHeapSize", "NewSize", "MaxNewSize", "OldSize",
    "MaxRAM", "ErgoHeapSizeLimit", "MaxRAMPercentage", "MinRAMPercentage", "InitialRAMPercentage",
    "MaxRAMFraction", "MinRAMFraction", "InitialRAMFraction", "DefaultMaxRAMFraction", "PermSize", "MaxPermSize",
    "InitialCodeCacheSize", "CodeCacheExpansionSize", "ReservedCodeCacheSize"};
// Class data sharing and AOT archives: the child runs another class path
// than the archive was made for, so it cannot use the user's archive (and
// fails with -XX:AOTMode=on), and it must never write or overwrite one
// (-XX:+DumpSharedSpaces is Java 8's -Xshare:dump).
constexpr std::string_view kArchiveFlags[] = {
    "AOTCache", "AOTCacheOutput", "AOTConfiguration", "AOTMode", "SharedArchiveFile", "ArchiveClassesAtExit",
    "AutoCreateSharedArchive", "SharedClassListFile", "DumpLoadedClassList", "DumpSharedSpaces",
    "DynamicDumpSharedSpaces"};
constexpr std::string_view kArchiveExact[] = {"-Xshare:dump"};
// Options that make the JVM write files or folders: the child would write,
// rotate or overwrite the user's own logs, recordings, heap dumps, error
// reports, performance data and compiler replay files, or create its heap's
// backing file in the user's folder (AllocateHeapAt, ZPath). -Xlog with a
// file output is matched by isFileLog; the rotation flags of Java 8's
// -Xloggc: only tell how to rotate its file. What the JVM only reads stays
// (CompileCommandFile, CompilerDirectivesFile: the child compiles as the
// application does, and reading the user's file changes nothing in it),
// and so do the switches whose files the child writes anyway by default
// (CreateCoredumpOnCrash, DumpReplayDataOnError) or that write none
// (ExtendedDTraceProbes, PrintCompilation to the child's own output).
constexpr std::string_view kFileWritingFlags[] = {
    "LogFile", "LogCompilation", "LogVMOutput", "StartFlightRecording", "FlightRecorderOptions", "ErrorFile",
    "HeapDumpPath", "HeapDumpOnOutOfMemoryError", "HeapDumpBeforeFullGC", "HeapDumpAfterFullGC",
    "PerfDataSaveFile", "PerfDataSaveToFile", "DumpPerfMapAtExit", "ReplayDataFile", "InlineDataFile",
    "JVMCILibDumpJNIConfig", "JVMCINativeLibraryErrorFile", "AllocateHeapAt", "AllocateOldGenAt", "ZPath",
    "UseGCLogFileRotation", "NumberOfGCLogFiles", "GCLogFileSize"};
// -Xverbosegclog is OpenJ9's -Xloggc:.
constexpr std::string_view kFileWritingPrefixes[] = {"-Xloggc:", "-Xverbosegclog"};
// The management agent: the child would open the application's JMX port
// (taken, so that the child fails, or free, so that the child answers on
// it) or announce itself on the network. -XX:+ManagementServer starts it
// with the JDK's own management.properties; the com.sun.management.*
// properties that configure it are kManagementProperties below.
constexpr std::string_view kManagementFlags[] = {"ManagementServer"};
// The launcher's own settings and the options files: --disable-@files
// would keep the child's launcher from reading the child's argument file;
// the source file mode's --source (with its value) would make the child
// run no installer; the files of -XX:VMOptionsFile= and -XX:Flags= are
// read where they stand, so the child gets what they hold instead.
constexpr std::string_view kLauncherExact[] = {"--disable-@files", "--source"};
constexpr std::string_view kLauncherFlags[] = {"VMOptionsFile", "Flags"};

// The system properties the child never gets. They reach the child only as
// the JVM's own properties (getBootstrapBuildArguments), since no source
// hands its -D options on, so these lists are the whole rule for them.
//
// The child runs the library's installer, not the application: it gets the
// JVM's default system class loader and no security manager. A loader of the
// application's may lack the method the child's -javaagent: needs
// (appendToClassPathForInstrumentation), or do nothing in it; a security
// manager denies the installer's premain what it does (and the build tool's
// own reads the worker's class path from a standard input the child has not).
constexpr std::string_view kApplicationOnlyProperties[] = {"java.system.class.loader", "java.security.manager",
                                                           "java.security.policy"};
// The management agent's settings (com.sun.management.jmxremote.port,
// .config.file...): any of them starts the agent in the child, as above.
constexpr std::string_view kManagementProperties[] = {"com.sun.management."};

// The name of a -XX: flag ("-XX:+Name", "-XX:Name=value"), or empty.
std::string_view xxFlagName(std::string_view option) {
    if (!option.starts_with("-XX:")) return {};
    option.remove_prefix(4);
    if (!option.empty() && (option[0] == '+' || option[0] == '-')) option.remove_prefix(1);
    return option.substr(0, option.find_first_of("=:"));
}

// -Xlog[:what[:output[:decorators[:options]]]] writing to a file: an output
// that is neither standard stream ("file=name", or a bare name).
bool isFileLog(std::string_view option) {
    if (!option.starts_with("-Xlog:")) return false;
    option.remove_prefix(6);
    // Fields are separated by colons outside double quotes.
    std::vector<std::string_view> fields;
    size_t start = 0;
    bool quoted = false;
    for (size_t i = 0; i <= option.size(); i++) {
        if (i < option.size() && option[i] == '"') quoted = !quoted;
        if (i == option.size() || (option[i] == ':' && !quoted)) {
            fields.push_back(option.substr(start, i - start));
            start = i + 1;
        }
    }
    if (fields.size() < 2) return false;
    std::string_view output = fields[1];
    return !output.empty() && output != "stdout" && output != "stderr" && output != "#0" && output != "#1";
}

template <size_t N>
bool flagIn(std::string_view option, const std::string_view (&names)[N]) {
    std::string_view name = xxFlagName(option);
    return !name.empty() && isOneOf(name, names);
}

// Whether no source may hand the option down (the tables above).
bool isNeverInherited(std::string_view option) {
    return startsWithOneOf(option, kDebuggerPrefixes) || flagIn(option, kDebuggerFlags) ||
           isJdkAgentPath(option, kFileNamesIgnoreCase) ||
           startsWithOneOf(option, kMemorySizePrefixes) || flagIn(option, kMemorySizeFlags) ||
           flagIn(option, kArchiveFlags) || isOneOf(option, kArchiveExact) ||
           flagIn(option, kFileWritingFlags) || startsWithOneOf(option, kFileWritingPrefixes) || isFileLog(option) ||
           flagIn(option, kManagementFlags) ||
           isOneOf(option, kLauncherExact) || flagIn(option, kLauncherFlags);
}

// The options that give the JVM an archive of the user's own, which the
// library's switching off of class data sharing leaves unused.
constexpr std::string_view kUserArchiveFlags[] = {"AOTCache", "SharedArchiveFile"};

// What becomes of one option in the child under the rules every source
// shares: dropped, kept, or kept with the separate value after it.
enum class Inherit { drop, keep, keepWithValue };

Inherit inheritance(std::string_view option, const char* libraryPath, int release) {
    if (isNeverInherited(option)) return Inherit::drop;
    std::string copy(option);
    const char* arg = copy.c_str();
    if (isXArg(arg)) return Inherit::keep;
    if (isDashDashArgument(arg) && !isIgnoredDashDashArgument(arg)) {
        return hasSeparateArgument(option, release) ? Inherit::keepWithValue : Inherit::keep;
    }
    if (option.starts_with("-agentpath") && !isIgnoredAgent(arg, libraryPath)) return Inherit::keep;
    return Inherit::drop;
}

char** additionalArgs = nullptr;
int additionalArgCount = 0;

}  // namespace

int isXArg(const char* arg) {
    return std::string_view(arg).starts_with("-X");
}

int isIgnoredXArg(const char* arg) {
    return isXArg(arg) && isNeverInherited(arg);
}

int isDashDashArgument(const char* arg) {
    return std::string_view(arg).starts_with("--");
}

int isIgnoredDashDashArgument(const char* arg) {
    return isDashDashArgument(arg) &&
           (startsWithOneOf(arg, kIgnoredDashDashPrefixes) || isOneOf(arg, kIgnoredDashDashExact));
}

int isIgnoredAgent(const char* arg, const char* libraryPath) {
    std::string_view path = libraryPath != nullptr ? libraryPath : "";
    size_t separator = path.find_last_of("/\\");
    std::string_view fileName = separator == std::string_view::npos ? path : path.substr(separator + 1);
    std::string_view option = arg;
    return (!fileName.empty() && option.find(fileName) != std::string_view::npos) ||
           option.find("jprofilerti") != std::string_view::npos;
}

bool isJdkAgentPath(std::string_view option, bool ignoreCase) {
    if (!option.starts_with("-agentpath:")) return false;
    std::string_view path = option.substr(11);
    path = path.substr(0, path.find('='));
    size_t separator = path.find_last_of("/\\");
    std::string file(separator == std::string_view::npos ? path : path.substr(separator + 1));
    if (ignoreCase) {
        std::transform(file.begin(), file.end(), file.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    }
    return startsWithOneOf(file, kJdkAgentLibraryPrefixes) || isOneOf(file, kJdkAgentLibraryNames);
}

bool isNeverInheritedProperty(std::string_view name) {
    return isOneOf(name, kApplicationOnlyProperties) || startsWithOneOf(name, kManagementProperties);
}

std::vector<std::string> filterOptions(const std::vector<std::string>& options, SourceKind kind, bool ibmVendor,
                                       const char* libraryPath, int release) {
    bool commandLine = kind == SourceKind::commandLine;
    size_t end = commandLine ? static_cast<size_t>(findArgumentLimit(options, release)) : options.size();
    // Whether the option at i has its value at i + 1, as the launcher reads it.
    auto valueFollows = [&options, end, release](size_t i) {
        return i + 1 < end && takesNextAsValue(options[i], options[i + 1], release);
    };
    std::vector<std::string> kept;
    std::string verify;
    for (size_t i = 0; i < end; i++) {
        std::string_view option = options[i];
        if (commandLine) log_write(TS_DEBUG, "We have arg: %s", options[i].c_str());
        if (option.starts_with("-Xshareclasses:")) {
            // OpenJ9 and IBM: the child must neither use nor write the
            // user's shared class cache, which holds the user's classes.
            kept.emplace_back("-Xshareclasses:none");
        } else if (option.starts_with("-Xverify")) {
            // The command line's last one is handed on at its end; on IBM
            // JVMs the child verifies everything (-Xverify:all below), which
            // a variable's -Xverify must not undo.
            if (commandLine) {
                verify = option;
            } else if (!ibmVendor) {
                kept.emplace_back(option);
            }
        } else if (Inherit inherit = inheritance(option, libraryPath, release); inherit != Inherit::drop) {
            kept.emplace_back(option);
            if (inherit == Inherit::keepWithValue && valueFollows(i)) kept.push_back(options[++i]);
        } else if (valueFollows(i)) {
            i++;  // "-cp lib" and the like: the value goes with its option
        }
    }
    if (commandLine && ibmVendor) {
        kept.emplace_back("-Xverify:all");
    } else if (commandLine && !verify.empty()) {
        kept.push_back(verify);
    }
    return kept;
}

char** filterAdditionalArgs(int argc, char** argv, bool ibmVendor, const char* libraryPath, int* count,
                            int release) {
    std::vector<std::string> kept = filterOptions(std::vector<std::string>(argv, argv + argc), SourceKind::commandLine,
                                                  ibmVendor, libraryPath, release);
    auto** args = static_cast<char**>(ts_checked_alloc(calloc(kept.size() + 1, sizeof(char*))));
    for (size_t i = 0; i < kept.size(); i++) args[i] = lfts_dup(kept[i].c_str());
    *count = static_cast<int>(kept.size());
    return args;
}

std::string userArchiveOption(const std::vector<OptionSource>& sources, std::string* sourceName) {
    for (const OptionSource& source : sources) {
        bool commandLine = source.isCommandLine();
        size_t end = commandLine ? static_cast<size_t>(findArgumentLimit(source.options, source.release))
                                 : source.options.size();
        for (size_t i = commandLine ? 1 : 0; i < end; i++) {
            std::string_view option = source.options[i];
            if (!flagIn(option, kUserArchiveFlags) || option.find('=') == std::string_view::npos) continue;
            if (sourceName != nullptr) *sourceName = source.name;
            return std::string(option);
        }
    }
    return {};
}

std::vector<std::string> InheritedOptions::hashed() const {
    std::vector<std::string> all = commandLine;
    for (const InheritedVariable& variable : variables) all.insert(all.end(), variable.kept.begin(), variable.kept.end());
    return all;
}

std::vector<EnvironmentEdit> InheritedOptions::environment() const {
    std::vector<EnvironmentEdit> edits;
    for (const InheritedVariable& variable : variables) {
        bool openJ9 = variable.kind == SourceKind::openJ9Variable;
        std::string value = openJ9 ? joinOpenJ9OptionsText(variable.kept) : joinOptionsText(variable.kept);
        edits.push_back({variable.name, variable.kept.empty(), value});
    }
    return edits;
}

InheritedOptions inheritedOptions(const std::vector<OptionSource>& sources, bool ibmVendor, const char* libraryPath) {
    InheritedOptions inherited;
    for (const OptionSource& source : sources) {
        if (source.isCommandLine()) {
            inherited.commandLine = filterOptions(source.options, source.kind, ibmVendor, libraryPath, source.release);
        } else if (source.present) {
            std::vector<std::string> kept =
                filterOptions(source.options, source.kind, ibmVendor, libraryPath, source.release);
            // OpenJ9's syntax has no way to write an empty option (a lone
            // quote pair stands for a quote): the child's copy cannot carry
            // one, so it is not inherited.
            if (source.kind == SourceKind::openJ9Variable) {
                kept.erase(std::remove(kept.begin(), kept.end(), std::string()), kept.end());
            }
            inherited.variables.push_back({source.name, std::move(kept), source.kind});
        }
    }
    return inherited;
}

namespace {

InheritedOptions* inheritedForThisJvm = nullptr;
std::vector<EnvironmentEdit> childEdits;

const InheritedOptions& computeOnce() {
    if (inheritedForThisJvm != nullptr) return *inheritedForThisJvm;
    inheritedForThisJvm =
        new InheritedOptions(inheritedOptions(jvmOptionSources(), agent.ibmVendor != 0, agent.libraryPath));
    additionalArgCount = static_cast<int>(inheritedForThisJvm->commandLine.size());
    additionalArgs = static_cast<char**>(ts_checked_alloc(calloc(static_cast<size_t>(additionalArgCount) + 1,
                                                                 sizeof(char*))));
    for (int i = 0; i < additionalArgCount; i++) additionalArgs[i] = lfts_dup(inheritedForThisJvm->commandLine[i].c_str());
    childEdits = inheritedForThisJvm->environment();
    for (const EnvironmentEdit& edit : childEdits) {
        if (edit.remove) {
            log_write(TS_DEBUG, "The child JVM goes without %s", edit.name.c_str());
        } else {
            log_write(TS_DEBUG, "The child JVM gets %s=%s", edit.name.c_str(), edit.value.c_str());
        }
    }
    return *inheritedForThisJvm;
}

}  // namespace

char** getAdditionalArgs(jvmtiEnv* /*jvmti*/, int* count) {
    computeOnce();
    *count = additionalArgCount;
    return additionalArgs;
}

const InheritedOptions& getInheritedOptions(jvmtiEnv* /*jvmti*/) {
    return computeOnce();
}

const std::vector<EnvironmentEdit>& childEnvironment(jvmtiEnv* /*jvmti*/) {
    computeOnce();
    return childEdits;
}
