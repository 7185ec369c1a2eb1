// Boot class path emulation through the main class-file load hook. Every
// use of the jar reader happens under the raw monitor "BCPEmuMonitor", and
// the hook tests the enabled flag again inside it, so a close racing with a
// lookup leaves the lookup with "not found". The same monitor guards the
// start-up bookkeeping: the list of loaded classes and the base-class
// stages, which threads that exist early (Reference Handler, Finalizer)
// reach concurrently with the main thread.
#include "boot_cp_emu.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "agent_util.h"
#include "define_classes.h"
#include "fileutils.h"
#include "logging.h"
#include "onLoad.h"

ZipReader bootJar;
int32_t bcp_emu_enabled = 0;
ts_list* loadedClasses = nullptr;
int32_t tarsilBaseClassesDefined = 0;

namespace {

jrawMonitorID monitor = nullptr;
// The environment that created the monitor, for callers that have none.
jvmtiEnv* monitorEnv = nullptr;

// Holds the emulation's raw monitor for one scope.
class MonitorLock {
public:
    explicit MonitorLock(jvmtiEnv* jvmti) : jvmti_(jvmti) { jvmti_->RawMonitorEnter(monitor); }
    MonitorLock(const MonitorLock&) = delete;
    MonitorLock& operator=(const MonitorLock&) = delete;
    ~MonitorLock() { jvmti_->RawMonitorExit(monitor); }

private:
    jvmtiEnv* jvmti_;
};

std::atomic_ref<ts_list*> sharedLoadedClasses() {
    return std::atomic_ref<ts_list*>(loadedClasses);
}

// An entry name, on the stack when it fits: the load path allocates nothing
// for a class the jar does not serve.
class EntryName {
public:
    EntryName(std::string_view prefix, std::string_view loader, std::string_view name) {
        size_t length = prefix.size() + loader.size() + (loader.empty() ? 0 : 1) + name.size() + kSuffix.size();
        if (length >= sizeof small_) {
            large_.reset(static_cast<char*>(ts_checked_alloc(malloc(length + 1))));
            text_ = large_.get();
        }
        char* out = text_;
        for (std::string_view part : {prefix, loader, loader.empty() ? std::string_view() : "/", name, kSuffix}) {
            if (part.empty()) continue;  // an empty view may have no data
            memcpy(out, part.data(), part.size());
            out += part.size();
        }
        *out = '\0';
    }
    EntryName(const EntryName&) = delete;
    EntryName& operator=(const EntryName&) = delete;
    const char* get() const { return text_; }

private:
    static constexpr std::string_view kSuffix = ".class";
    char small_[512];
    char* text_ = small_;
    HeapString large_;
};

constexpr const char* kNeverServed[] = {"java/lang/LangAccessImpl", "java/lang/management/LangManagementAccessImpl"};

bool neverServed(const char* name) {
    return std::any_of(std::begin(kNeverServed), std::end(kNeverServed),
                       [name](const char* excluded) { return strcmp(name, excluded) == 0; });
}

void checkClassDataSharing(const char* name) {
    if (tarsilBaseClassesDefined != 0 || strcmp(name, "java/lang/Object") != 0) return;
    if (isClassDataSharingArchiveMapped()) {
        log_write(TS_FATAL,
                  "Tarsil is not compatible with Class Data Sharing. Please disable CDS by using the -Xshare:off "
                  "JVM argument.");
        fatal_error_kill(1);
    }
}

constexpr char kFirstStageTrigger[] = "java/lang/String";
constexpr char kSecondStageTrigger[] = "jdk/internal/module/Modules";

// The stage this load starts (1 or 2), or 0; called under the monitor, so
// each stage is claimed by one thread only.
int claimBaseClassStage(const char* name) {
    std::atomic_ref<int32_t> stage(tarsilBaseClassesDefined);
    if (stage.load() == 0 && strcmp(name, kFirstStageTrigger) == 0) {
        stage.store(1);
        return 1;
    }
    if (stage.load() <= 1 && strcmp(name, kSecondStageTrigger) == 0) {
        stage.store(2);
        return 2;
    }
    return 0;
}

// Notes the class in the list of loaded classes while there is one and
// runs a base-class stage when this load starts one. The stage defines
// classes outside the monitor: each definition re-enters this hook.
void recordLoadAndRunStages(jvmtiEnv* jvmti, JNIEnv* jni, const char* name) {
    int stage = 0;
    {
        MonitorLock lock(jvmti);
        if (ts_list* seen = sharedLoadedClasses().load()) ts_list_push(seen, lfts_dup(name));
        stage = claimBaseClassStage(name);
    }
    if (stage != 0) defineTarsilBaseClasses(jni, stage == 1 ? 1 : 0);
}

// The loader's class name through Class.getName(), for the primordial phase
// in which JVM TI cannot name classes yet.
char* loaderNameFromJava(JNIEnv* jni, jclass loaderClass) {
    jclass classClass = jni->GetObjectClass(loaderClass);
    jmethodID getName = jni->GetMethodID(classClass, "getName", "()Ljava/lang/String;");
    jni->DeleteLocalRef(classClass);
    if (getName == nullptr) {
        jni->ExceptionClear();
        return nullptr;
    }
    auto name = static_cast<jstring>(jni->CallObjectMethod(loaderClass, getName));
    if (name == nullptr) {
        jni->ExceptionClear();
        return nullptr;
    }
    const char* utf = jni->GetStringUTFChars(name, nullptr);
    char* copy = utf != nullptr ? lfts_ndup(utf, static_cast<size_t>(jni->GetStringUTFLength(name))) : nullptr;
    if (utf != nullptr) jni->ReleaseStringUTFChars(name, utf);
    jni->DeleteLocalRef(name);
    return copy;
}

}  // namespace

void bcp_emu_init(jvmtiEnv* jvmti, const char* path) {
    bootJar.close();
    if (!bootJar.open(path)) {
        log_write(TS_FATAL, "Error opening jar file %s", path);
        fatal_error_kill(1);
    }
    bcp_emu_enabled = 1;
    jvmti->CreateRawMonitor("BCPEmuMonitor", &monitor);
    monitorEnv = jvmti;
    if (agent.java9) {
        loadedClasses = ts_list_init();
    } else {
        tarsilBaseClassesDefined = 1;
    }
}

void bcp_emu_close(jvmtiEnv* jvmti) {
    if (!bcp_emu_enabled) return;
    log_write(TS_DEBUG, "Closing BCP emulation");
    MonitorLock lock(jvmti);
    bcp_emu_enabled = 0;
    bootJar.close();
}

char* get_loader_name(JNIEnv* jni, jvmtiEnv* jvmti, jobject loader) {
    jclass loaderClass = jni->GetObjectClass(loader);
    JvmtiString signature(jvmti);
    jvmtiError error = jvmti->GetClassSignature(loaderClass, signature.out(), nullptr);
    char* name = nullptr;
    if (error == JVMTI_ERROR_NONE) {
        std::string_view type = signature.get();
        name = lfts_ndup(type.data() + 1, type.size() >= 2 ? type.size() - 2 : 0);
        std::replace(name, name + strlen(name), '/', '.');
    } else {
        jvmtiPhase phase = JVMTI_PHASE_DEAD;
        if (error == JVMTI_ERROR_WRONG_PHASE && jvmti->GetPhase(&phase) == JVMTI_ERROR_NONE &&
            phase == JVMTI_PHASE_PRIMORDIAL) {
            name = loaderNameFromJava(jni, loaderClass);
        } else {
            check_jvmti_error(jvmti, error, "Failed to get class name");
        }
    }
    jni->DeleteLocalRef(loaderClass);
    return name;
}

int bcp_find_file(jvmtiEnv* jvmti, const char* entry, jint* length, unsigned char** buffer) {
    int64_t index = bootJar.locate(entry);
    if (index < 0) return 0;
    ZipEntryStat stat;
    if (!bootJar.stat(index, &stat) || stat.uncompressedSize > INT32_MAX) {
        log_write(TS_ERROR, "[BCP] Failed to stat %s", entry);
        return 0;
    }
    unsigned char* data = nullptr;
    if (jvmti->Allocate(static_cast<jlong>(stat.uncompressedSize), &data) != JVMTI_ERROR_NONE || data == nullptr) {
        log_write(TS_ERROR, "[BCP] Failed to allocate memory (%llu bytes)",
                  static_cast<unsigned long long>(stat.uncompressedSize));
        return 0;
    }
    if (!bootJar.extractTo(index, data, stat.uncompressedSize)) {
        log_write(TS_ERROR, "[BCP] Failed to extract %s (size: %d b)", entry, static_cast<int>(stat.uncompressedSize));
        jvmti->Deallocate(data);
        return 0;
    }
    *length = static_cast<jint>(stat.uncompressedSize);
    *buffer = data;
    return 1;
}

bool bcp_seen_class(const char* name) {
    if (monitorEnv == nullptr) return false;
    MonitorLock lock(monitorEnv);
    ts_list* seen = sharedLoadedClasses().load();
    if (seen == nullptr) return false;
    return std::any_of(seen->items, seen->items + seen->size,
                       [name](void* each) { return strcmp(static_cast<const char*>(each), name) == 0; });
}

ts_list* bcp_take_loaded_classes() {
    if (monitorEnv == nullptr) return sharedLoadedClasses().exchange(nullptr);
    MonitorLock lock(monitorEnv);
    return sharedLoadedClasses().exchange(nullptr);
}

bool bcp_has_entry(const char* entry) {
    return bcp_emu_enabled && bootJar.locate(entry) >= 0;
}

int bcp_emu_ClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass /*classBeingRedefined*/, jobject loader,
                              const char* name, jobject /*protectionDomain*/, jint* newClassDataLength,
                              unsigned char** newClassData, int /*reentrant*/) {
    if (!bcp_emu_enabled || neverServed(name)) return 0;
    checkClassDataSharing(name);

    HeapString loaderName;
    if (loader != nullptr) {
        loaderName.reset(get_loader_name(jni, jvmti, loader));
        if (!loaderName) return 0;
    }
    EntryName entry(loader != nullptr ? "@" : "", loaderName ? loaderName.get() : "", name);

    recordLoadAndRunStages(jvmti, jni, name);

    MonitorLock lock(jvmti);
    return bcp_emu_enabled ? bcp_find_file(jvmti, entry.get(), newClassDataLength, newClassData) : 0;
}
