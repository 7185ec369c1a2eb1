// The agent jar: where it is, and the two manifest values the library needs
// (the Java agent's start class and the version that goes into the bootstrap
// jar's hash).
#include "jarinfo.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "agent_util.h"
#include "fileutils.h"
#include "java_contract.h"
#include "list.h"
#include "agent_state.h"
#include "logging.h"
#include "platform.h"
#include "zip.h"

namespace {

const char kEmpty[] = "";

}  // namespace

const char* getManifestEntry(const char* text, size_t length, const char* key) {
    std::string_view manifest(text, length);
    size_t at = manifest.find(key);
    if (at == std::string_view::npos) return kEmpty;
    std::string_view value = manifest.substr(at + strlen(key));
    value = value.substr(0, value.find_first_of("\r\n"));
    if (value.empty()) return kEmpty;
    return lfts_ndup(value.data(), value.size());
}

void initManifestJarInfo(JarInfo* info) {
    info->premainClass = kEmpty;
    info->implementationVersion = kEmpty;
    // Opened only as a regular file, without waiting: a FIFO named by
    // "vesta.native.jar" would otherwise hold the JVM's start for good.
    RegularFile file(info->path);
    if (!file) {
        log_write(TS_FATAL, "Error opening .jar file %s: %s", info->path, file.problem());
        fatal_error_kill(1);
    }
    ZipReader jar;
    if (!jar.openHandle(file.handle())) {
        log_write(TS_FATAL, "Error opening .jar file %s", info->path);
        fatal_error_kill(1);
    }
    int64_t index = jar.locate(kManifestEntry);
    if (index < 0) return;
    size_t size = 0;
    HeapString manifest(static_cast<char*>(jar.extractToHeap(index, &size)));
    if (!manifest) return;
    info->premainClass = getManifestEntry(manifest.get(), size, kPremainClassKey);
    info->implementationVersion = getManifestEntry(manifest.get(), size, kImplementationVersionKey);
}

JarInfo* createJarInfo(const char* path) {
    auto* info = static_cast<JarInfo*>(ts_checked_alloc(calloc(1, sizeof(JarInfo))));
    info->path = lfts_dup(path);
    initManifestJarInfo(info);
    return info;
}

JarInfo* locateTarsilJar(const char* libraryPath) {
    HeapString dir(getDirName(libraryPath));
    HeapString parent(getDirName(dir.get()));
    for (const char* folder : {parent.get(), dir.get()}) {
        HeapString candidate(lfts_concat(folder, TS_DIR_SEPARATOR_STRING "tarsil.jar"));
        log_write(TS_DEBUG, "Searching for tarsil.jar in %s", candidate.get());
        if (fileExists(candidate.get())) return createJarInfo(candidate.get());
    }
    return nullptr;
}

void initJarInfo(jvmtiEnv* jvmti) {
    char* libraryPath = getPathToLoadedLibrary(reinterpret_cast<const void*>(&initJarInfo));
    log_write(TS_DEBUG, "Agent loaded from %s", libraryPath);

    JarInfo* info = nullptr;
    if (JvmtiString configured = getSystemProperty(jvmti, "vesta.native.jar")) {
        info = createJarInfo(configured.get());
    } else {
        info = locateTarsilJar(libraryPath);
        if (info == nullptr) {
            log_write(TS_FATAL, "ERROR: Could not locate Tarsil Agent JAR for %s", libraryPath);
            fatal_error_kill(0);
        }
    }
    log_write(TS_DEBUG, "Found tarsil.jar in %s", info->path);

    agent.libraryPath = libraryPath;
    agent.jarInfo = info;
}
