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
#include <map>
#include <memory>
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

namespace {

// Each source tried and why it gave no folder, for the final message.
std::vector<std::string> triedSources;

}  // namespace

std::string describeRefusal(const std::string& folder, const FolderRefusal& refusal) {
    std::string_view reason = refusal.reason;
    if (refusal.level.empty() || refusal.level == folder || !reason.starts_with("it ")) return std::string(reason);
    return refusal.level + " " + std::string(reason.substr(3));
}

void noteTriedSource(const std::string& what) {
    triedSources.push_back(what);
}

std::string triedBootstrapFolders() {
    std::string text;
    for (const std::string& tried : triedSources) text += (text.empty() ? "" : "; ") + tried;
    return text;
}

const char* getBootstrapFolder(jvmtiEnv* jvmti) {
    if (bootstrapFolder != nullptr) return bootstrapFolder;
    // Each source adopts its folder when it yields one: every file of the
    // folder is reached through the open folder from now on.
    HeapString folder(getBootstrapFromProperty(jvmti));
    if (!folder) folder.reset(getBootstrapFromVestaBase(jvmti));
    if (!folder) folder.reset(getBootstrapFromUserHome());
    if (!folder) {
        folder.reset(getBootstrapFromTemporaryFolder());
        if (folder) {
            log_write(TS_WARN,
                      "Using %s as the bootstrap folder, as no other is usable. Set the system property "
                      "'vesta.bootcache.dir' or the environment variable VESTA_BASE to choose another one.",
                      folder.get());
        }
    }
    if (!folder) {
        log_write(TS_FATAL,
                  "Error finding a suitable bootstrap folder! Please specify a folder that exists and is writable by "
                  "setting the 'VESTA_BASE' system environment variable. Tried: %s.",
                  triedBootstrapFolders().c_str());
        fatal_error_kill(0);
    }
    // The real path walked, which no other user can redirect: the paths
    // the JVM and the child JVM get (the bootstrap jar on Java 8's boot
    // class path, the child's output, log and argument file) are built on it.
    bootstrapFolder = finishBootstrapFolder(folder.get());
    return bootstrapFolder;
}

void initBootLog(jvmtiEnv* jvmti) {
    std::string path = std::string(getBootstrapFolder(jvmti)) + "tarsil.boot.log";
    log_write(TS_DEBUG, "Native agent is logging to file: %s", path.c_str());
    // The log holds every system property at DEBUG: it is opened inside the
    // user's own folder, never through a link, readable by the user alone.
    start_file_logging(4, openBootLog("tarsil.boot.log"), path.c_str());
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

// The bootstrap jar this JVM checked, still open, so that the emulation
// reads the very file that was checked; -1 when none is kept.
intptr_t verifiedJar = -1;
std::string verifiedPath;

void keepVerified(intptr_t handle, const std::string& path) {
    closeBootFile(verifiedJar);
    verifiedJar = -1;
    // Only the emulation reads the jar itself; the JVM opens it by its path,
    // which cannot be redirected.
    if (!agent.emulateBootClassPath) {
        closeBootFile(handle);
        return;
    }
    verifiedJar = handle;
    verifiedPath = path;
}

// Why the named jar of the folder cannot serve as the bootstrap jar, or null;
// *state tells whether there is anything at the name. On success the handle
// it was checked through is in *checked, the caller's to keep or close.
const char* jarProblem(const std::string& name, BootFileState* state, intptr_t* checked) {
    static std::string why;
    const char* problem = nullptr;
    intptr_t handle = openBootFile(name.c_str(), state, &problem);
    if (handle < 0) return *state == BootFileState::missing ? "it does not exist" : problem;
    ZipReader jar;
    if (!jar.openHandle(handle)) {
        closeBootFile(handle);
        why = std::string("it is not a readable jar: ") + jar.error();
        return why.c_str();
    }
    // The emulation serves classes and defines the base classes from the
    // list; a jar without it would fail later, in the middle of start-up.
    if (agent.emulateBootClassPath && jar.locate(kBaseClassList) < 0) {
        closeBootFile(handle);
        return "it has no tarsilbase-classes.txt";
    }
    *checked = handle;
    return nullptr;
}

// Whether the cached jar of that name may be used as it is; then it is kept
// open. A damaged or untrusted one is reported when `report` says so; it is
// replaced by the next publication.
bool cachedJarUsable(const std::string& name, const std::string& path, bool report) {
    BootFileState state;
    intptr_t checked = -1;
    const char* problem = jarProblem(name, &state, &checked);
    if (state == BootFileState::missing) return false;
    if (problem == nullptr) {
        keepVerified(checked, path);
        return true;
    }
    if (report) {
        log_write(TS_WARN, "Not using the cached bootstrap jar %s: %s. Generating a new one.", path.c_str(), problem);
    }
    return false;
}

constexpr std::string_view kBootstrapPrefix = "tarsil-bootstrap-";
constexpr std::string_view kClasspathPrefix = "tarsil-classpath-";
constexpr std::string_view kChildLogSuffix = ".tmp.jar.log";
// Child logs of earlier generations that stay for the user to read.
constexpr size_t kKeptChildLogs = 5;
constexpr long long kUnlimitedGenerationSeconds = 24 * 60 * 60;

// The first 20 hash digits a generation's file name carries, or empty.
std::string_view generationHash(std::string_view name) {
    for (std::string_view prefix : {kBootstrapPrefix, kClasspathPrefix}) {
        if (name.starts_with(prefix)) name.remove_prefix(prefix.size());
    }
    size_t dash = name.find('-');
    return dash == 20 ? name.substr(0, 20) : std::string_view();
}

// Tells whether generations of a hash may still be running: one that holds
// a lock of that hash is; where every lock of it can be taken, none is
// (the locks are held until the sweep ends, so none starts meanwhile).
class GenerationLiveness {
public:
    explicit GenerationLiveness(std::string_view ownHash) : ownHash_(ownHash.substr(0, 20)) {
        for (const std::string& lock : bootFileNames(kBootstrapPrefix, ".lock")) locks_.push_back(lock);
    }

    // Known to be over (true), or not known to be (false).
    bool over(std::string_view hash) {
        // This JVM holds its own hash's lock.
        if (hash == ownHash_) return true;
        auto known = verdicts_.find(std::string(hash));
        if (known != verdicts_.end()) return known->second;
        bool anyLock = false;
        bool allFree = true;
        for (const std::string& lock : locks_) {
            if (!std::string_view(lock).substr(kBootstrapPrefix.size()).starts_with(hash)) continue;
            anyLock = true;
            auto probe = std::make_unique<BootFileLock>();
            if (probe->tryAcquire(lock.c_str()) == BootFileLock::Outcome::locked) {
                held_.push_back(std::move(probe));
            } else {
                allFree = false;
            }
        }
        return verdicts_[std::string(hash)] = anyLock && allFree;
    }

private:
    std::string ownHash_;
    std::vector<std::string> locks_;
    std::map<std::string, bool> verdicts_;
    std::vector<std::unique_ptr<BootFileLock>> held_;
};

std::vector<std::string> namesLike(std::string_view prefix, std::initializer_list<std::string_view> suffixes) {
    std::vector<std::string> names;
    for (std::string_view suffix : suffixes) {
        std::vector<std::string> more = bootFileNames(prefix, suffix);
        names.insert(names.end(), more.begin(), more.end());
    }
    return names;
}

// Removes what generations of any hash left behind once they are over:
// temporary jars, argument files and classpath jars of generations whose
// locks are free, or that are older than any generation can run; and all
// but the newest few child logs. Called under this JVM's lock.
void sweepDeadGenerations(std::string_view hash, int timeoutSeconds) {
    long long oldest = timeoutSeconds > 0 ? 2LL * timeoutSeconds : kUnlimitedGenerationSeconds;
    GenerationLiveness liveness(hash);
    auto over = [&](const std::string& name) {
        std::string_view of = generationHash(name);
        return !of.empty() && (bootFileAgeSeconds(name.c_str()) > oldest || liveness.over(of));
    };
    std::vector<std::string> leftovers = namesLike(kBootstrapPrefix, {kTemporarySuffix, ".args"});
    std::vector<std::string> classpathJars = bootFileNames(kClasspathPrefix, ".jar");
    leftovers.insert(leftovers.end(), classpathJars.begin(), classpathJars.end());
    for (const std::string& name : leftovers) {
        if (over(name) && removeBootFile(name.c_str())) {
            log_write(TS_INFO, "Removed %s, left by an unfinished generation", name.c_str());
        }
    }
    std::vector<std::pair<long long, std::string>> logs;
    for (const std::string& name : bootFileNames(kBootstrapPrefix, kChildLogSuffix)) {
        logs.emplace_back(bootFileAgeSeconds(name.c_str()), name);
    }
    std::sort(logs.begin(), logs.end());
    for (size_t i = kKeptChildLogs; i < logs.size(); i++) {
        if (over(logs[i].second)) removeBootFile(logs[i].second.c_str());
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
// that jar is kept and this one's files go.
bool publishedMeanwhile(const std::string& cachedName, const std::string& cached) {
    BootFileState state;
    intptr_t checked = -1;
    if (jarProblem(cachedName, &state, &checked) != nullptr) return false;
    keepVerified(checked, cached);
    log_write(TS_DEBUG, "Someone else finished bootstrap generation before us");
    set_fatal_cleanup(nullptr);
    removeGenerationFiles();
    return true;
}

// Makes way at the cached name for the new jar: what a rename cannot
// replace (a folder, empty or not) is removed, or else moved aside.
void clearCachedName(const std::string& cachedName) {
    if (bootFileState(cachedName.c_str()) != BootFileState::untrusted) return;
    if (removeBootFile(cachedName.c_str())) return;
    if (moveBootFileAside(cachedName.c_str(), ".damaged-")) {
        log_write(TS_WARN, "Moved %s aside, a folder where the cached bootstrap jar belongs", cachedName.c_str());
    }
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
    // writes into them: nobody can have put anything at those names first,
    // and the child's log (all of its properties) is the user's alone.
    for (const std::string& name : {temporaryName, temporaryName + ".log"}) {
        if (!createBootFile(name.c_str())) {
            log_write(TS_FATAL, "Could not create %s%s (errno: %d)", folder, name.c_str(), errno);
            fatal_error_kill(1);
        }
    }
    set_fatal_cleanup(removeGenerationFiles);
    log_write(TS_DEBUG, "No cached bootstrap jar, generating new one to: %s", temporary.c_str());
    generate(jvmti, jarInfo->path, temporary.c_str());

    BootFileState state;
    intptr_t generated = -1;
    if (const char* problem = jarProblem(temporaryName, &state, &generated)) {
        failGeneration("The child JVM did not produce a usable bootstrap jar", problem);
    }
    if (publishedMeanwhile(cachedName, cached)) {
        closeBootFile(generated);
        return;
    }
    log_write(TS_DEBUG, "Renaming generated bootstrap to %s", cached.c_str());
    clearCachedName(cachedName);
    if (publishBootFile(temporaryName.c_str(), cachedName.c_str())) {
        // The file checked is the file published: it is kept open.
        keepVerified(generated, cached);
        set_fatal_cleanup(nullptr);
        return;
    }
    closeBootFile(generated);
    int error = errno;
    // Where a rename cannot replace (a JVM on Windows holds the jar open),
    // another JVM has published: its jar serves as well.
    if (publishedMeanwhile(cachedName, cached)) return;
    log_write(TS_FATAL, "Error %d: could not rename %s to %s", error, temporary.c_str(), cached.c_str());
    fatal_error_kill(1);
}

}  // namespace

bool openVerifiedBootstrapJar(const char* path, ZipReader* reader) {
    if (verifiedJar < 0 || path == nullptr || verifiedPath != path) return false;
    bool opened = reader->openCopyOfHandle(verifiedJar);
    keepVerified(-1, "");
    return opened;
}

const char* generate(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath) {
    const char* folder = getBootstrapFolder(jvmti);
    std::string stem = generationStem(outputPath);
    int argc = 0;
    char** argv = getBootstrapBuildArguments(jvmti, agentJarPath, outputPath, &argc);
    std::string classpathJarName = "tarsil-classpath-" + stem + ".jar";
    const char* classpathJar = preprocessClasspath(jvmti, argv, argc, folder, classpathJarName.c_str());
    std::string argumentFileName = "tarsil-bootstrap-" + stem + ".args";
    bool argumentFile = agent.java9 && moveSystemPropertiesToFile(argv, &argc, folder, argumentFileName.c_str());
    execAndReadStdOut2(argc, argv, 4096, 1, nullptr, bootstrapTimeout(jvmti), &childEnvironment(jvmti));
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
    if (outcome == BootFileLock::Outcome::locked) sweepDeadGenerations(hash, timeout);
    generateAndPublish(jvmti, jarInfo, folder, hash, cachedName, cached);
    return result;
}
