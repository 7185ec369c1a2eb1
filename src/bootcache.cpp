// The bootstrap jar cache: the choice of the bootstrap folder, and the
// lookup of the cached jar that generates one in a child JVM on a miss.
#include "bootcache.h"

#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "agent_util.h"

#include "bootcache_files.h"
#include "bootcache_text.h"
#include "exec.h"
#include "fileutils.h"
#include "jarinfo.h"
#include "list.h"
#include "logging.h"
#include "onLoad.h"
#include "zip.h"

namespace {

char* bootstrapFolder = nullptr;

}  // namespace

std::string randomHex(size_t digits) {
    unsigned char bytes[32] = {};
    size_t count = std::min(sizeof bytes, (digits + 1) / 2);
    if (!fillRandom(bytes, count)) {
        // No random source at all: the names are still created exclusively.
        auto mix = static_cast<unsigned long long>(time(nullptr)) ^ (static_cast<unsigned long long>(getPid()) << 32) ^
                   reinterpret_cast<uintptr_t>(&bytes);
        for (size_t i = 0; i < count; i++) bytes[i] = static_cast<unsigned char>(mix >> (8 * (i % 8)));
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; i++) {
        text += hex[bytes[i] >> 4];
        text += hex[bytes[i] & 0xf];
    }
    text.resize(std::min(digits, text.size()));
    return text;
}

const char* getBootstrapFolder(jvmtiEnv* jvmti) {
    if (bootstrapFolder != nullptr) return bootstrapFolder;
    HeapString folder(getBootstrapFromProperty(jvmti));
    if (!folder) folder.reset(getBootstrapFromVestaBase(jvmti));
    if (!folder) folder.reset(getBootstrapFromUserHome());
    // Every file of the folder is reached through this handle from now on.
    if (folder && adoptBootFolder(folder.get()) != nullptr) folder.reset();
    if (!folder) {
        log_write(TS_FATAL,
                  "Error finding a suitable bootstrap folder! Please specify a folder that exists and is writable by "
                  "setting the 'VESTA_BASE' system environment variable.");
        fatal_error_kill(0);
    }
    bootstrapFolder = finishBootstrapFolder(folder.get());
    return bootstrapFolder;
}

namespace {

constexpr int kDefaultTimeoutSeconds = 300;
constexpr char kBaseClassList[] = "tarsilbase-classes.txt";
constexpr std::string_view kTemporarySuffix = ".tmp.jar";

// "vesta.bootstrap.timeout": seconds the child JVM may take; 0 means no
// limit.
int readBootstrapTimeout(jvmtiEnv* jvmti) {
    JvmtiString value = getSystemProperty(jvmti, "vesta.bootstrap.timeout");
    if (!value) return kDefaultTimeoutSeconds;
    std::string_view text = value.get();
    int seconds = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || seconds < 0) {
        log_write(TS_WARN, "Ignoring vesta.bootstrap.timeout=%s: not a number of seconds; using %d",
                  value.get(), kDefaultTimeoutSeconds);
        return kDefaultTimeoutSeconds;
    }
    return seconds;
}

int bootstrapTimeout(jvmtiEnv* jvmti) {
    static int seconds = readBootstrapTimeout(jvmti);
    return seconds;
}

// Why the jar at `path` cannot serve as the bootstrap jar, or null.
const char* jarProblem(const char* path) {
    static std::string why;
    ZipReader jar;
    if (!jar.open(path)) {
        why = std::string("it is not a readable jar: ") + jar.error();
        return why.c_str();
    }
    // The emulation serves classes and defines the base classes from the
    // list; a jar without it would fail later, in the middle of start-up.
    if (agent.emulateBootClassPath && jar.locate(kBaseClassList) < 0) return "it has no tarsilbase-classes.txt";
    return nullptr;
}

// Whether the cached jar of that name may be used as it is. A damaged or
// untrusted one is reported when `report` says so; it is replaced by the
// next publication.
bool cachedJarUsable(const std::string& name, const std::string& path, bool report) {
    const char* problem = nullptr;
    BootFileState state = bootFileState(name.c_str(), &problem);
    if (state == BootFileState::missing) return false;
    if (state == BootFileState::trusted && (problem = jarProblem(path.c_str())) == nullptr) return true;
    if (report) {
        log_write(TS_WARN, "Not using the cached bootstrap jar %s: %s. Generating a new one.", path.c_str(), problem);
    }
    return false;
}

// Removes what generations of this hash that died before finishing left
// behind. Called under the lock, when no other generation of it runs.
void sweepLeftovers(std::string_view hash) {
    std::string stem = std::string(hash.substr(0, 20)) + "-";
    std::vector<std::string> names = bootFileNames("tarsil-bootstrap-" + stem, kTemporarySuffix);
    for (std::string_view suffix : {".args"}) {
        std::vector<std::string> more = bootFileNames("tarsil-bootstrap-" + stem, suffix);
        names.insert(names.end(), more.begin(), more.end());
    }
    std::vector<std::string> jars = bootFileNames("tarsil-classpath-" + stem, ".jar");
    names.insert(names.end(), jars.begin(), jars.end());
    for (const std::string& name : names) {
        if (removeBootFile(name.c_str())) log_write(TS_INFO, "Removed %s, left by an unfinished generation", name.c_str());
    }
}

// The part of a temporary jar's name that the generation's other files
// share: "<first 20 hash digits>-<process id>-<random>".
std::string generationStem(const char* outputPath) {
    std::string_view name = outputPath;
    name.remove_prefix(std::min(name.size(), name.find_last_of("/\\") + 1));
    if (name.starts_with("tarsil-bootstrap-") && name.ends_with(kTemporarySuffix)) {
        name.remove_prefix(strlen("tarsil-bootstrap-"));
        name.remove_suffix(kTemporarySuffix.size());
        return std::string(name);
    }
    HeapString pid(formatHeap("%05lx", getPid()));
    return std::string(pid.get()) + "-" + randomHex(16);
}

// The files of the generation under way, which a JVM that ends meanwhile
// removes: "<first 20 hash digits>-<process id>-<random>".
std::string runningStem;

void removeGenerationFiles() {
    for (const std::string& name : {"tarsil-bootstrap-" + runningStem + std::string(kTemporarySuffix),
                                    "tarsil-bootstrap-" + runningStem + ".args",
                                    "tarsil-classpath-" + runningStem + ".jar"}) {
        removeBootFile(name.c_str());
    }
}

// Whether another JVM published a usable jar while this one generated; then
// this one's files go.
bool publishedMeanwhile(const std::string& cachedName, const std::string& cached) {
    if (bootFileState(cachedName.c_str()) != BootFileState::trusted || jarProblem(cached.c_str()) != nullptr) {
        return false;
    }
    log_write(TS_DEBUG, "Someone else finished bootstrap generation before us");
    set_fatal_cleanup(nullptr);
    removeGenerationFiles();
    return true;
}

[[noreturn]] void failGeneration(const char* what, const char* detail) {
    log_write(TS_FATAL, "%s: %s", what, detail);
    fatal_error_kill(1);
}

// Runs the child, checks what it wrote and publishes it under the cached
// name. Ends the process when any of it fails.
void generateAndPublish(jvmtiEnv* jvmti, const JarInfo* jarInfo, const char* folder, std::string_view hash,
                        const std::string& cachedName, const std::string& cached) {
    HeapString pid(formatHeap("%05lx", getPid()));
    runningStem = std::string(hash.substr(0, 20)) + "-" + pid.get() + "-" + randomHex(16);
    std::string temporaryName = "tarsil-bootstrap-" + runningStem + std::string(kTemporarySuffix);
    std::string temporary = folder + temporaryName;
    // Made here, exclusively and private to the user, before the child
    // writes into it: nobody can have put anything at that name first.
    if (!createBootFile(temporaryName.c_str())) {
        log_write(TS_FATAL, "Could not create %s (errno: %d)", temporary.c_str(), errno);
        fatal_error_kill(1);
    }
    set_fatal_cleanup(removeGenerationFiles);
    log_write(TS_DEBUG, "No cached bootstrap jar, generating new one to: %s", temporary.c_str());
    generate(jvmti, jarInfo->path, temporary.c_str());

    if (const char* problem = jarProblem(temporary.c_str())) {
        failGeneration("The child JVM did not produce a usable bootstrap jar", problem);
    }
    if (publishedMeanwhile(cachedName, cached)) return;
    log_write(TS_DEBUG, "Renaming generated bootstrap to %s", cached.c_str());
    // A folder at the cached name (empty, or it would not go) gives way.
    if (bootFileState(cachedName.c_str()) == BootFileState::untrusted) removeBootFile(cachedName.c_str());
    if (publishBootFile(temporaryName.c_str(), cachedName.c_str())) {
        set_fatal_cleanup(nullptr);
        return;
    }
    int error = errno;
    // Where a rename cannot replace (a JVM on Windows holds the jar open),
    // another JVM has published: its jar serves as well.
    if (publishedMeanwhile(cachedName, cached)) return;
    log_write(TS_FATAL, "Error %d: could not rename %s to %s", error, temporary.c_str(), cached.c_str());
    fatal_error_kill(1);
}

}  // namespace

const char* generate(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath) {
    const char* folder = getBootstrapFolder(jvmti);
    std::string stem = generationStem(outputPath);
    int argc = 0;
    char** argv = getBootstrapBuildArguments(jvmti, agentJarPath, outputPath, &argc);
    std::string classpathJarName = "tarsil-classpath-" + stem + ".jar";
    const char* classpathJar = preprocessClasspath(jvmti, argv, argc, folder, classpathJarName.c_str());
    std::string argumentFileName = "tarsil-bootstrap-" + stem + ".args";
    bool argumentFile = agent.java9 && moveSystemPropertiesToFile(argv, &argc, folder, argumentFileName.c_str());
    execAndReadStdOut2(argc, argv, 4096, 1, nullptr, bootstrapTimeout(jvmti));
    if (classpathJar != nullptr) removeBootFile(classpathJarName.c_str());
    if (argumentFile) removeBootFile(argumentFileName.c_str());
    freeBootstrapBuildArguments(argc, argv);
    return outputPath;
}

char* getBootstrapJarPathFor(jvmtiEnv* jvmti, const JarInfo* jarInfo) {
    const char* folder = getBootstrapFolder(jvmti);
    char hash[33];
    getRuntimeHash(jvmti, jarInfo, hash);
    log_write(TS_DEBUG, "Checking bootcache for %s", hash);

    std::string cachedName = std::string("tarsil-bootstrap-") + hash + ".jar";
    std::string cached = folder + cachedName;
    char* result = lfts_dup(cached.c_str());
    if (cachedJarUsable(cachedName, cached, false)) {
        log_write(TS_DEBUG, "Bootstrap jar found from bootcache: %s", cached.c_str());
        return result;
    }

    // One JVM of a configuration generates; the others wait for its jar.
    int timeout = bootstrapTimeout(jvmti);
    int lockWait = timeout > 0 ? timeout + 60 : 0;
    BootFileLock lock;
    std::string lockName = std::string("tarsil-bootstrap-") + hash + ".lock";
    BootFileLock::Outcome outcome = lock.acquire(lockName.c_str(), lockWait);
    if (outcome == BootFileLock::Outcome::unsupported) {
        log_write(TS_DEBUG, "No lock in the bootstrap folder; generating without one");
    } else if (outcome == BootFileLock::Outcome::timedOut) {
        log_write(TS_WARN, "Waited %d seconds for another JVM to generate the bootstrap jar; generating it here",
                  lockWait);
    }
    // Another JVM may have published while this one waited.
    if (cachedJarUsable(cachedName, cached, true)) {
        log_write(TS_DEBUG, "Bootstrap jar found from bootcache: %s", cached.c_str());
        return result;
    }
    if (outcome == BootFileLock::Outcome::locked) sweepLeftovers(hash);
    generateAndPublish(jvmti, jarInfo, folder, hash, cachedName, cached);
    return result;
}
