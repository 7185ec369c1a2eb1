// The base classes of the bootstrap jar, defined in the boot loader in two
// stages from inside the emulation's load hook, with what the emulation
// hands over of its jar and of the classes it has seen.
#include "define_classes.h"

#include <string>
#include <string_view>

#include "list.h"
#include "logging.h"
#include "zip.h"

namespace {

constexpr char kBaseClassList[] = "tarsilbase-classes.txt";

}  // namespace

void defineClass(JNIEnv* jni, const char* name, const BaseClassSource& source) {
    if (source.seenClass(name)) return;
    // Without its entry the hook has no bytes to supply and the JVM would be
    // asked to define an empty class file.
    if (!source.hasEntry((std::string(name) + ".class").c_str())) {
        log_write(TS_WARN, "Base class %s is not in the bootstrap jar, skipped", name);
        return;
    }
    log_write(TS_DEBUG, "Defining base class %s", name);
    static const jbyte kEmpty[1] = {0};
    // The class's local reference is left to the hook's frame: checked JNI
    // cannot validate references this early in start-up.
    jni->DefineClass(name, nullptr, kEmpty, 0);
    // No further JNI call may be made with an exception pending.
    if (jni->ExceptionCheck()) {
        log_write(TS_ERROR, "Failed to define base class %s", name);
        jni->ExceptionClear();
    }
}

void defineBaseClasses(JNIEnv* jni, int firstStage, const BaseClassSource& source) {
    log_write(TS_DEBUG, "Reading tarsilbase-classes.txt");
    size_t size = 0;
    HeapString list(static_cast<char*>(source.jar.extractToHeap(kBaseClassList, &size)));
    if (!list) {
        log_write(TS_FATAL, "Failed to extract tarsilbase-classes.txt");
        fatal_error_kill(1);
    }
    std::string_view text(list.get(), size);
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.starts_with('-')) {
            if (firstStage) break;
            continue;
        }
        if (line.empty()) continue;
        HeapString name(lfts_ndup(line.data(), line.size()));
        defineClass(jni, name.get(), source);
    }
}
