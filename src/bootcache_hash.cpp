// The runtime hash: the cache key of the bootstrap jar, over the agent jar's
// version, the library's version, the JVM's system properties and the
// inherited options.
#include "bootcache_hash.h"

#include <cstring>
#include <string_view>

#include "bootcache_args.h"
#include "bootcache_text.h"
#include "jarinfo.h"
#include "logging.h"
#include "md5.h"
#include "version.h"

namespace {

constexpr std::string_view kIgnoredProperties[] = {
    "vesta.log.file", "vesta.notification", "vesta.bootcache.dir", "vesta.bootstrap.timeout", "idea.launcher.",
    "was.status.socket", "java.class.path", "jdk.module.", "test.", "com.ibm.oti.vm.", "sun.boot.", "sun.java."};

constexpr std::string_view kValueIgnoredProperties[] = {"com.sun.management.jmxremote.port", "wrapper.key",
                                                        "wrapper.pid"};

void hashString(MD5_CTX* ctx, const char* text) {
    MD5_Update(ctx, text, strlen(text));
}

// Feeds every property the hash counts, in the JVM's own order.
void hashProperties(jvmtiEnv* jvmti, MD5_CTX* ctx) {
    jint count = 0;
    char** names = nullptr;
    if (jvmti->GetSystemProperties(&count, &names) != JVMTI_ERROR_NONE) return;
    for (jint i = 0; i < count; i++) {
        char* name = names[i];
        if (name == nullptr) continue;
        if (!isIgnoredProperty(name)) {
            hashString(ctx, name);
            char* value = nullptr;
            if (!isPropertyValueIgnored(name) && jvmti->GetSystemProperty(name, &value) == JVMTI_ERROR_NONE) {
                hashString(ctx, value);
                jvmti->Deallocate(reinterpret_cast<unsigned char*>(value));
            }
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(name));
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(names));
}

}  // namespace

int isIgnoredProperty(const char* name) {
    return startsWithOneOf(name, kIgnoredProperties);
}

int isPropertyValueIgnored(const char* name) {
    return startsWithOneOf(name, kValueIgnoredProperties);
}

const char* additionalArgValueForHashing(const char* arg) {
    std::string_view option = arg;
    if (option.find("-agentpath") != std::string_view::npos &&
        option.find("libasyncProfiler") != std::string_view::npos) {
        // The profiler's path and options must not invalidate the cache.
        log_write(TS_DEBUG, "using placeholder libasyncProfiler");
        return "libasyncProfiler";
    }
    return arg;
}

void getRuntimeHash(jvmtiEnv* jvmti, const JarInfo* jarInfo, char* out) {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    if (jarInfo->implementationVersion != nullptr) hashString(&ctx, jarInfo->implementationVersion);
    hashString(&ctx, tarsil_version);
    hashProperties(jvmti, &ctx);
    // The inherited options of the command line, then what the child gets
    // of each variable, so that a change there gives another cached jar too.
    for (const std::string& option : getInheritedOptions(jvmti).hashed()) {
        log_write(TS_DEBUG, "hash update for additionalArg %s", option.c_str());
        hashString(&ctx, additionalArgValueForHashing(option.c_str()));
    }
    MD5_FinalStr(&ctx, out);
}
