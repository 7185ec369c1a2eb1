// Boot class path emulation through the main class-file load hook.
//
// Almost no class a JVM loads is in the bootstrap jar, so the hook answers
// "not in the jar" from an index of the class names the jar holds (under
// any "@<loader>/" prefix), built once at open and never changed, without a
// lock, a JNI or a JVM TI call. Only a name found there pays for the
// loader's name and the extraction, which runs outside any lock into the
// JVM TI buffer. The raw monitor "BCPEmuMonitor" guards what changes: the
// close at unload (which waits for extractions in progress), the list of
// loaded classes and the base-class stages, which threads that exist early
// (Reference Handler, Finalizer) reach concurrently with the main thread.
#include "boot_cp_emu.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "atomic_view.h"
#include "agent_util.h"
#include "define_classes.h"
#include "fileutils.h"
#include "logging.h"
#include "agent_state.h"

// Never destroyed: a static destructor at exit would release the archive
// under threads still inside the class-load hook.
ZipReader& bootJar = *new ZipReader();
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

AtomicView<ts_list*> sharedLoadedClasses() {
    return AtomicView<ts_list*>(loadedClasses);
}

AtomicView<int32_t> emulationEnabled() {
    return AtomicView<int32_t>(bcp_emu_enabled);
}

constexpr std::string_view kNeverServed[] = {"java/lang/LangAccessImpl",
                                              "java/lang/management/LangManagementAccessImpl"};

bool neverServed(std::string_view name) {
    return std::find(std::begin(kNeverServed), std::end(kNeverServed), name) != std::end(kNeverServed);
}

// Threads between their check of the enabled flag and the end of an
// extraction from the jar; the close waits for them.
std::atomic<int32_t> extracting{0};

// The class names of the jar's ".class" entries, with any "@<loader>/"
// prefix taken off: the question the class-load path asks first. Filled at
// open and left alone afterwards (it has no destructor and is replaced only
// by the next open, before any hook runs), so readers need no lock.
class ClassNameIndex {
public:
    void build(const ZipReader& jar) {
        free(names_);
        free(slots_);
        size_t count = jar.entryCount();
        size_t capacity = 16;
        while (capacity < 2 * count) capacity *= 2;
        slots_ = static_cast<Slot*>(ts_checked_alloc(calloc(capacity, sizeof(Slot))));
        mask_ = capacity - 1;
        size_t total = 0;
        for (size_t i = 0; i < count; i++) total += jar.entryName(static_cast<int64_t>(i)).size();
        names_ = static_cast<char*>(ts_checked_alloc(malloc(total + 1)));
        size_t used = 0;
        for (size_t i = 0; i < count; i++) {
            std::string_view name = className(jar.entryName(static_cast<int64_t>(i)));
            if (name.empty() || neverServed(name)) continue;
            uint32_t hash = zipNameHash(name);
            Slot& slot = slots_[probe(name, hash)];
            if (slot.length != 0) continue;  // the same class under another loader
            memcpy(names_ + used, name.data(), name.size());
            slot = {hash, static_cast<uint32_t>(used), static_cast<uint32_t>(name.size())};
            used += name.size();
        }
    }

    bool contains(std::string_view name) const {
        return slots_ != nullptr && slots_[probe(name, zipNameHash(name))].length != 0;
    }

private:
    struct Slot {
        uint32_t hash;
        uint32_t offset;
        uint32_t length;  // 0: empty
    };

    // "a/B" of "a/B.class" and "@loader/a/B.class"; empty for other entries.
    static std::string_view className(std::string_view entry) {
        constexpr std::string_view kSuffix = ".class";
        if (!entry.ends_with(kSuffix)) return {};
        entry.remove_suffix(kSuffix.size());
        if (entry.starts_with('@')) {
            size_t slash = entry.find('/');
            entry = slash == std::string_view::npos ? std::string_view() : entry.substr(slash + 1);
        }
        return entry;
    }

    // The slot holding the name or the empty one where it would go; the
    // table is at most half full.
    size_t probe(std::string_view name, uint32_t hash) const {
        for (size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const Slot& slot = slots_[at];
            if (slot.length == 0) return at;
            if (slot.hash == hash && std::string_view(names_ + slot.offset, slot.length) == name) return at;
        }
    }

    char* names_ = nullptr;
    Slot* slots_ = nullptr;
    size_t mask_ = 0;
};

ClassNameIndex classIndex;

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


void checkClassDataSharing(const char* name) {
    if (AtomicView<int32_t>(tarsilBaseClassesDefined).load(std::memory_order_relaxed) != 0 ||
        strcmp(name, "java/lang/Object") != 0) {
        return;
    }
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
    AtomicView<int32_t> stage(tarsilBaseClassesDefined);
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

// Whether this load has start-up bookkeeping to do: the list of loaded
// classes is still kept, or the class starts a base-class stage.
bool startupWorkFor(const char* name) {
    if (sharedLoadedClasses().load(std::memory_order_acquire) != nullptr) return true;
    if (AtomicView<int32_t>(tarsilBaseClassesDefined).load(std::memory_order_relaxed) >= 2) return false;
    // Both triggers start with 'j': most names are settled by one compare.
    return name[0] == 'j' && (strcmp(name, kFirstStageTrigger) == 0 || strcmp(name, kSecondStageTrigger) == 0);
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

void bcp_emu_init(jvmtiEnv* jvmti, const char* path, intptr_t checkedJar) {
    bootJar.close();
    // A private copy: the cached jar may be copied over or cut short while
    // this JVM runs, which would fault a mapping at its next class load. It
    // is read through the handle the cache checked it with, when it has one.
    bool opened = (checkedJar != -1 && bootJar.openCopyOfHandle(checkedJar)) || bootJar.openCopy(path);
    if (!opened) {
        log_write(TS_FATAL, "Error opening jar file %s", path);
        fatal_error_kill(1);
    }
    classIndex.build(bootJar);
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
    emulationEnabled().store(0);
    // An extraction that began before the flag fell ends soon; one that
    // begins after it sees the flag down (both sides use sequentially
    // consistent order) and leaves the jar alone.
    while (extracting.load() != 0) jvmti->RawMonitorWait(monitor, 1);
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
    return emulationEnabled().load() && bootJar.locate(entry) >= 0;
}

namespace {

void releaseLoadedClasses() {
    ts_list* seen = bcp_take_loaded_classes();
    if (seen == nullptr) return;
    std::for_each(seen->items, seen->items + seen->size, free);
    ts_list_free(seen);
}

}  // namespace

void defineTarsilBaseClasses(JNIEnv* jni, int firstStage) {
    defineBaseClasses(jni, firstStage, BaseClassSource{bootJar, bcp_has_entry, bcp_seen_class});
    if (!firstStage) releaseLoadedClasses();
}

namespace {

// Extracts the entry unless the emulation has been closed.
int serveEntry(jvmtiEnv* jvmti, const char* entry, jint* length, unsigned char** buffer) {
    extracting.fetch_add(1);
    int found = emulationEnabled().load() ? bcp_find_file(jvmti, entry, length, buffer) : 0;
    extracting.fetch_sub(1);
    return found;
}

}  // namespace

int bcp_emu_ClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass /*classBeingRedefined*/, jobject loader,
                              const char* name, jobject /*protectionDomain*/, jint* newClassDataLength,
                              unsigned char** newClassData, int /*reentrant*/) {
    if (!emulationEnabled().load(std::memory_order_acquire)) return 0;
    if (startupWorkFor(name)) {
        if (neverServed(name)) return 0;
        checkClassDataSharing(name);
        recordLoadAndRunStages(jvmti, jni, name);
    }
    // The classes never served are left out of the index.
    if (!classIndex.contains(name)) return 0;

    HeapString loaderName;
    if (loader != nullptr) {
        loaderName.reset(get_loader_name(jni, jvmti, loader));
        if (!loaderName) return 0;
    }
    EntryName entry(loader != nullptr ? "@" : "", loaderName ? loaderName.get() : "", name);
    return serveEntry(jvmti, entry.get(), newClassDataLength, newClassData);
}
