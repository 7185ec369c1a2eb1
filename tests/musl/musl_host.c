/* A program of the musl C library, as the JVMs of Alpine images are, that
 * loads the shipped Linux library and runs its Agent_OnLoad against a small
 * fake JVM: logging, system properties, the choice of the bootstrap folder,
 * the agent jar's manifest, the runtime hash and the cache's lock and files
 * all run on musl, up to the child JVM, for which this JVM has no java.home.
 *   musl_host LIBRARY BOOTSTRAP_FOLDER AGENT_JAR
 */
#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <jvmti.h>

static const char* names[] = {"java.vm.vendor", "vesta.bootcache.dir", "vesta.native.jar", "user.name"};
static const char* values[4] = {"Musl Host", NULL, NULL, "musl"};

static jvmtiError JNICALL getSystemProperty(jvmtiEnv* env, const char* name, char** value) {
    (void)env;
    for (int i = 0; i < 4; i++) {
        if (strcmp(name, names[i]) == 0) {
            *value = strdup(values[i]);
            return JVMTI_ERROR_NONE;
        }
    }
    return JVMTI_ERROR_NOT_AVAILABLE;
}

static jvmtiError JNICALL getSystemProperties(jvmtiEnv* env, jint* count, char*** properties) {
    (void)env;
    *properties = malloc(sizeof names);
    for (int i = 0; i < 4; i++) (*properties)[i] = strdup(names[i]);
    *count = 4;
    return JVMTI_ERROR_NONE;
}

static jvmtiError JNICALL deallocate(jvmtiEnv* env, unsigned char* memory) {
    (void)env;
    free(memory);
    return JVMTI_ERROR_NONE;
}

static jvmtiError JNICALL allocate(jvmtiEnv* env, jlong size, unsigned char** memory) {
    (void)env;
    *memory = malloc((size_t)size);
    return *memory != NULL ? JVMTI_ERROR_NONE : JVMTI_ERROR_OUT_OF_MEMORY;
}

static jvmtiError JNICALL getVersionNumber(jvmtiEnv* env, jint* version) {
    (void)env;
    *version = 0x30110000; /* JVM TI of Java 17 */
    return JVMTI_ERROR_NONE;
}

static jvmtiError JNICALL getErrorName(jvmtiEnv* env, jvmtiError error, char** name) {
    (void)env;
    *name = strdup(error == JVMTI_ERROR_NOT_AVAILABLE ? "JVMTI_ERROR_NOT_AVAILABLE" : "other");
    return JVMTI_ERROR_NONE;
}

static jvmtiError JNICALL setNativeMethodPrefix(jvmtiEnv* env, const char* prefix) {
    (void)env;
    (void)prefix;
    return JVMTI_ERROR_NONE;
}

static struct jvmtiInterface_1_ table;
static jvmtiEnv jvmti = &table;

static jint JNICALL getEnv(JavaVM* vm, void** env, jint version) {
    (void)vm;
    (void)version;
    *env = &jvmti;
    return JNI_OK;
}

static struct JNIInvokeInterface_ invoke;
static JavaVM vm = &invoke;

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: musl_host LIBRARY BOOTSTRAP_FOLDER AGENT_JAR\n");
        return 2;
    }
    values[1] = argv[2];
    values[2] = argv[3];
    table.GetSystemProperty = getSystemProperty;
    table.GetSystemProperties = getSystemProperties;
    table.Deallocate = deallocate;
    table.Allocate = allocate;
    table.GetVersionNumber = getVersionNumber;
    table.GetErrorName = getErrorName;
    table.SetNativeMethodPrefix = setNativeMethodPrefix;
    invoke.GetEnv = getEnv;

    void* library = dlopen(argv[1], RTLD_NOW);
    if (library == NULL) {
        fprintf(stderr, "musl_host: %s\n", dlerror());
        return 2;
    }
    jint (*onLoad)(JavaVM*, char*, void*) = (jint(*)(JavaVM*, char*, void*))dlsym(library, "Agent_OnLoad");
    if (onLoad == NULL) {
        fprintf(stderr, "musl_host: no Agent_OnLoad\n");
        return 2;
    }
    char options[] = "debug";
    return (int)onLoad(&vm, options, NULL);
}
