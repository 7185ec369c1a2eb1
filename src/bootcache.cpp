// The bootstrap jar cache: the lookup of this configuration's jar in the
// bootstrap folder, the lock that lets one JVM of a configuration generate
// it in a child JVM while the others wait, and the check and publication of
// what the child wrote.
#include "bootcache.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent_state.h"
#include "agent_util.h"

#include "bootcache_args.h"
#include "bootcache_child.h"
#include "bootcache_cmdline.h"
#include "bootcache_cpjar.h"
#include "bootcache_files.h"
#include "bootcache_hash.h"
#include "bootcache_text.h"
#include "fileutils.h"
#include "jarinfo.h"
#include "list.h"
#include "logging.h"
#include "zip.h"

void initBootLog(const BootFolder& folder) {
    std::string path = folder.path + "tarsil.boot.log";
    log_write(TS_DEBUG, "Native agent is logging to file: %s", path.c_str());
    // The log holds every system property at DEBUG: it is opened inside the
    // user's own folder, never through a link, readable by the user alone.
    start_file_logging(4, openBootLog(folder, "tarsil.boot.log"), path.c_str());
}

namespace {

constexpr int kDefaultTimeoutSeconds = 300;
constexpr char kBaseClassList[] = "tarsilbase-classes.txt";
constexpr std::string_view kTemporarySuffix = ".tmp.jar";
constexpr std::string_view kBootstrapPrefix = "tarsil-bootstrap-";
constexpr std::string_view kClasspathPrefix = "tarsil-classpath-";
constexpr std::string_view kChildLogSuffix = ".tmp.jar.log";
// Child logs of earlier generations that stay for the user to read.
constexpr size_t kKeptChildLogs = 5;
constexpr long long kUnlimitedGenerationSeconds = 24 * 60 * 60;

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
// (the locks are held until the sweep ends, so none starts meanwhile); with
// no lock of it at all (a folder where locks cannot be had), nobody knows.
class GenerationLiveness {
public:
    enum class State { unknown, running, over };
    GenerationLiveness(const BootFolder& folder, std::string_view ownHash)
        : folder_(folder), ownHash_(ownHash.substr(0, 20)), locks_(bootFileNames(folder, kBootstrapPrefix, ".lock")) {}

    State state(std::string_view hash) {
        // This JVM holds its own hash's lock.
        if (hash == ownHash_) return State::over;
        auto known = verdicts_.find(std::string(hash));
        if (known != verdicts_.end()) return known->second;
        bool anyLock = false;
        bool allFree = true;
        for (const std::string& lock : locks_) {
            if (!std::string_view(lock).substr(kBootstrapPrefix.size()).starts_with(hash)) continue;
            anyLock = true;
            auto probe = std::make_unique<BootFileLock>();
            if (probe->tryAcquire(folder_, lock.c_str()) == BootFileLock::Outcome::locked) {
                held_.push_back(std::move(probe));
            } else {
                allFree = false;
            }
        }
        State verdict = !anyLock ? State::unknown : allFree ? State::over : State::running;
        return verdicts_[std::string(hash)] = verdict;
    }

private:
    const BootFolder& folder_;
    std::string ownHash_;
    std::vector<std::string> locks_;
    std::map<std::string, State> verdicts_;
    std::vector<std::unique_ptr<BootFileLock>> held_;
};

std::vector<std::string> namesLike(const BootFolder& folder, std::string_view prefix,
                                   std::initializer_list<std::string_view> suffixes) {
    std::vector<std::string> names;
    for (std::string_view suffix : suffixes) {
        std::vector<std::string> more = bootFileNames(folder, prefix, suffix);
        names.insert(names.end(), more.begin(), more.end());
    }
    return names;
}

// Removes what generations of any hash left behind once they are over:
// temporary jars, argument files and classpath jars of generations whose
// locks are free, or, where no lock of theirs exists, that are older than
// any generation can run (a held lock always wins: another configuration
// may run with a longer time limit than this JVM's); and all but the newest
// few child logs. Called under this JVM's lock.
void sweepDeadGenerations(const BootFolder& folder, std::string_view hash, int timeoutSeconds) {
    long long oldest = timeoutSeconds > 0 ? 2LL * timeoutSeconds : kUnlimitedGenerationSeconds;
    GenerationLiveness liveness(folder, hash);
    auto over = [&](const std::string& name) {
        std::string_view of = generationHash(name);
        if (of.empty()) return false;
        GenerationLiveness::State state = liveness.state(of);
        if (state != GenerationLiveness::State::unknown) return state == GenerationLiveness::State::over;
        return bootFileAgeSeconds(folder, name.c_str()) > oldest;
    };
    std::vector<std::string> leftovers = namesLike(folder, kBootstrapPrefix, {kTemporarySuffix, ".args"});
    std::vector<std::string> classpathJars = bootFileNames(folder, kClasspathPrefix, ".jar");
    leftovers.insert(leftovers.end(), classpathJars.begin(), classpathJars.end());
    for (const std::string& name : leftovers) {
        if (over(name) && removeBootFile(folder, name.c_str())) {
            log_write(TS_INFO, "Removed %s, left by an unfinished generation", name.c_str());
        }
    }
    std::vector<std::pair<long long, std::string>> logs;
    for (const std::string& name : bootFileNames(folder, kBootstrapPrefix, kChildLogSuffix)) {
        logs.emplace_back(bootFileAgeSeconds(folder, name.c_str()), name);
    }
    std::sort(logs.begin(), logs.end());
    for (size_t i = kKeptChildLogs; i < logs.size(); i++) {
        if (over(logs[i].second)) removeBootFile(folder, logs[i].second.c_str());
    }
}

// The files of the generation under way, which a JVM that ends meanwhile
// removes: "<first 20 hash digits>-<process id>-<random>" in the folder.
// Kept here because the cleanup of a fatal end is a plain function.
const BootFolder* runningFolder = nullptr;
std::string runningStem;

void removeGenerationFiles() {
    if (runningFolder == nullptr) return;
    for (const std::string& name : {"tarsil-bootstrap-" + runningStem + std::string(kTemporarySuffix),
                                    "tarsil-bootstrap-" + runningStem + ".args",
                                    "tarsil-classpath-" + runningStem + ".jar"}) {
        removeBootFile(*runningFolder, name.c_str());
    }
}

// Runs one generation: the child JVM writes the jar at `outputPath`, a
// file of the folder named "tarsil-bootstrap-<stem>.tmp.jar"; its class
// path and system properties go through files of the same stem, removed
// once it has run. Ends the process when the child fails.
void runGeneration(jvmtiEnv* jvmti, const BootFolder& folder, const char* agentJarPath, const std::string& stem,
                   const char* outputPath, int timeoutSeconds) {
    int argc = 0;
    int userCount = 0;
    char** argv = getBootstrapBuildArguments(jvmti, agentJarPath, outputPath, &argc, &userCount);
    std::string classpathJarName = "tarsil-classpath-" + stem + ".jar";
    // Java 8's launcher reads no argument files: there the command line's
    // length counts.
    const char* classpathJar = preprocessClasspath(jvmti, argv, argc, folder, classpathJarName.c_str(), !agent.java9);
    std::string argumentFileName = "tarsil-bootstrap-" + stem + ".args";
    bool argumentFile = false;
    std::vector<EnvironmentEdit> environment = childEnvironment(jvmti);
    if (agent.java9) {
        argumentFile = moveArgumentsToFile(argv, &argc, folder, argumentFileName.c_str());
    } else if (!agent.ibmVendor && !agent.openJ9) {
        // The JVMs of those vendors read the variable by rules of their own.
        environment = moveOptionsToToolOptions(argv, &argc, userCount, std::move(environment));
    }
    runBootstrapChild(argc, argv, timeoutSeconds, &environment);
    if (classpathJar != nullptr) removeBootFile(folder, classpathJarName.c_str());
    if (argumentFile) removeBootFile(folder, argumentFileName.c_str());
    freeBootstrapBuildArguments(argc, argv);
}

// The lookup of one configuration's jar in the folder, and its generation
// on a miss.
class BootstrapCache {
public:
    BootstrapCache(jvmtiEnv* jvmti, const BootFolder& folder, std::string hash)
        : jvmti_(jvmti),
          folder_(folder),
          hash_(std::move(hash)),
          cachedName_(std::string(kBootstrapPrefix) + hash_ + ".jar"),
          cached_(folder.path + cachedName_),
          timeout_(readBootstrapTimeout(jvmti)) {}

    BootstrapJar find(const JarInfo* jarInfo) {
        if (cachedJarUsable(false)) return found();
        // One JVM of a configuration generates; the others wait for its jar.
        int lockWait = timeout_ > 0 ? timeout_ + 60 : 0;
        BootFileLock lock;
        std::string lockName = std::string(kBootstrapPrefix) + hash_ + ".lock";
        BootFileLock::Outcome outcome = lock.acquire(folder_, lockName.c_str(), lockWait);
        if (outcome == BootFileLock::Outcome::unsupported) {
            log_write(TS_DEBUG, "No lock in the bootstrap folder; generating without one");
        } else if (outcome == BootFileLock::Outcome::timedOut) {
            log_write(TS_WARN,
                      "Waited %d seconds for another JVM to generate the bootstrap jar; generating it here", lockWait);
        }
        // Another JVM may have published while this one waited.
        if (cachedJarUsable(true)) return found();
        if (outcome == BootFileLock::Outcome::locked) sweepDeadGenerations(folder_, hash_, timeout_);
        generateAndPublish(jarInfo);
        return {lfts_dup(cached_.c_str()), checked_};
    }

private:
    BootstrapJar found() {
        log_write(TS_DEBUG, "Bootstrap jar found from bootcache: %s", cached_.c_str());
        return {lfts_dup(cached_.c_str()), checked_};
    }

    // Keeps the handle a jar was checked through, so that the emulation
    // reads the very file that was checked.
    void keep(intptr_t handle) {
        closeBootFile(checked_);
        checked_ = -1;
        // Only the emulation reads the jar itself; the JVM opens it by its
        // path, which cannot be redirected.
        if (!agent.emulateBootClassPath) {
            closeBootFile(handle);
            return;
        }
        checked_ = handle;
    }

    // Why the named jar of the folder cannot serve as the bootstrap jar, or
    // null; *state tells whether there is anything at the name. On success
    // the handle it was checked through is in *checked, the caller's to keep
    // or close.
    const char* jarProblem(const std::string& name, BootFileState* state, intptr_t* checked) {
        const char* problem = nullptr;
        intptr_t handle = openBootFile(folder_, name.c_str(), state, &problem);
        if (handle < 0) return *state == BootFileState::missing ? "it does not exist" : problem;
        ZipReader jar;
        if (!jar.openHandle(handle)) {
            closeBootFile(handle);
            why_ = std::string("it is not a readable jar: ") + jar.error();
            return why_.c_str();
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

    // Whether the cached jar may be used as it is; then it is kept open. A
    // damaged or untrusted one is reported when `report` says so; it is
    // replaced by the next publication.
    bool cachedJarUsable(bool report) {
        BootFileState state;
        intptr_t checked = -1;
        const char* problem = jarProblem(cachedName_, &state, &checked);
        if (state == BootFileState::missing) return false;
        if (problem == nullptr) {
            keep(checked);
            return true;
        }
        if (report) {
            log_write(TS_WARN, "Not using the cached bootstrap jar %s: %s. Generating a new one.", cached_.c_str(),
                      problem);
        }
        return false;
    }

    // Whether another JVM published a usable jar while this one generated;
    // then that jar is kept and this one's files go.
    bool publishedMeanwhile() {
        BootFileState state;
        intptr_t checked = -1;
        if (jarProblem(cachedName_, &state, &checked) != nullptr) return false;
        keep(checked);
        log_write(TS_DEBUG, "Someone else finished bootstrap generation before us");
        set_fatal_cleanup(nullptr);
        removeGenerationFiles();
        runningFolder = nullptr;
        return true;
    }

    // Makes way at the cached name for the new jar: what a rename cannot
    // replace (a folder, empty or not) is removed, or else moved aside.
    void clearCachedName() {
        if (bootFileState(folder_, cachedName_.c_str()) != BootFileState::untrusted) return;
        if (removeBootFile(folder_, cachedName_.c_str())) return;
        if (moveBootFileAside(folder_, cachedName_.c_str(), ".damaged-")) {
            log_write(TS_WARN, "Moved %s aside, a folder where the cached bootstrap jar belongs", cachedName_.c_str());
        }
    }

    [[noreturn]] static void failGeneration(const char* what, const char* detail) {
        log_write(TS_FATAL, "%s: %s", what, detail);
        fatal_error_kill(1);
    }

    // Runs the child, checks what it wrote and publishes it under the cached
    // name. Ends the process when any of it fails.
    void generateAndPublish(const JarInfo* jarInfo) {
        HeapString pid(formatHeap("%05lx", getPid()));
        runningStem = hash_.substr(0, 20) + "-" + pid.get() + "-" + randomHex(16);
        runningFolder = &folder_;
        std::string temporaryName = std::string(kBootstrapPrefix) + runningStem + std::string(kTemporarySuffix);
        std::string temporary = folder_.path + temporaryName;
        // Made here, exclusively and private to the user, before the child
        // writes into them: nobody can have put anything at those names
        // first, and the child's log (all of its properties) is the user's
        // alone.
        for (const std::string& name : {temporaryName, temporaryName + ".log"}) {
            if (!createBootFile(folder_, name.c_str())) {
                log_write(TS_FATAL, "Could not create %s%s (errno: %d)", folder_.path.c_str(), name.c_str(), errno);
                fatal_error_kill(1);
            }
        }
        set_fatal_cleanup(removeGenerationFiles);
        log_write(TS_DEBUG, "No cached bootstrap jar, generating new one to: %s", temporary.c_str());
        runGeneration(jvmti_, folder_, jarInfo->path, runningStem, temporary.c_str(), timeout_);

        BootFileState state;
        intptr_t generated = -1;
        if (const char* problem = jarProblem(temporaryName, &state, &generated)) {
            failGeneration("The child JVM did not produce a usable bootstrap jar", problem);
        }
        if (publishedMeanwhile()) {
            closeBootFile(generated);
            return;
        }
        // The child may have written the jar anew with its own mode: the jar
        // is the user's alone before anything can find it.
        if (!makeBootFilePrivate(generated)) {
            closeBootFile(generated);
            failGeneration("The generated bootstrap jar could not be made private", strerror(errno));
        }
        log_write(TS_DEBUG, "Renaming generated bootstrap to %s", cached_.c_str());
        clearCachedName();
        if (publishBootFile(folder_, temporaryName.c_str(), cachedName_.c_str())) {
            // The file checked is the file published: it is kept open.
            keep(generated);
            set_fatal_cleanup(nullptr);
            runningFolder = nullptr;
            return;
        }
        closeBootFile(generated);
        int error = errno;
        // Where a rename cannot replace (a JVM on Windows holds the jar
        // open), another JVM has published: its jar serves as well.
        if (publishedMeanwhile()) return;
        log_write(TS_FATAL, "Error %d: could not rename %s to %s", error, temporary.c_str(), cached_.c_str());
        fatal_error_kill(1);
    }

    jvmtiEnv* jvmti_;
    const BootFolder& folder_;
    std::string hash_;
    std::string cachedName_;  // the name in the folder
    std::string cached_;      // its path
    int timeout_;
    intptr_t checked_ = -1;   // the jar kept open as it was checked, or -1
    std::string why_;
};

}  // namespace

BootstrapJar getBootstrapJarFor(jvmtiEnv* jvmti, const BootFolder& folder, const JarInfo* jarInfo) {
    char hash[33];
    getRuntimeHash(jvmti, jarInfo, hash);
    log_write(TS_DEBUG, "Checking bootcache for %s", hash);
    return BootstrapCache(jvmti, folder, hash).find(jarInfo);
}
