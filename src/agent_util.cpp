// Every JVM TI error the agent cannot live with ends the process here, with
// the JVM's own name for the error and the step that failed.
#include "agent_util.h"

#include <cstring>

#include "logging.h"

void check_jvmti_error(jvmtiEnv* jvmti, jvmtiError error, const char* message) {
    if (error == JVMTI_ERROR_NONE) return;
    char* name = nullptr;
    jvmti->GetErrorName(error, &name);
    log_write(TS_FATAL, "ERROR: JVMTI: %d(%s): %s\n", error, name == nullptr ? "Unknown" : name,
              message == nullptr ? "" : message);
    fatal_error_kill(1);
}

void* allocate(jvmtiEnv* jvmti, jint size) {
    unsigned char* memory = nullptr;
    check_jvmti_error(jvmti, jvmti->Allocate(static_cast<jlong>(size), &memory),
                      "Cannot allocate memory");
    return memory;
}

void deallocate(jvmtiEnv* jvmti, void* memory) {
    check_jvmti_error(jvmti, jvmti->Deallocate(static_cast<unsigned char*>(memory)),
                      "Cannot deallocate memory");
}

JvmtiString getSystemProperty(jvmtiEnv* jvmti, const char* name, jvmtiError* error) {
    JvmtiString value(jvmti);
    jvmtiError result = jvmti->GetSystemProperty(name, value.out());
    if (error != nullptr) *error = result;
    if (result != JVMTI_ERROR_NONE) value.release();
    return value;
}

int isPropertySet(jvmtiEnv* jvmti, const char* name, const char* expected) {
    char* value = nullptr;
    if (jvmti->GetSystemProperty(name, &value) != JVMTI_ERROR_NONE) return 0;
    int equal = value != nullptr && strcmp(value, expected) == 0;
    // A failed release is of no consequence to a yes-or-no answer.
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(value));
    return equal;
}

void print_available_system_property_names(jvmtiEnv* jvmti) {
    jint count = 0;
    JvmtiPtr<char*> names(jvmti);
    jvmtiError error = jvmti->GetSystemProperties(&count, names.out());
    if (error != JVMTI_ERROR_NONE) {
        names.release();
        log_write(TS_WARN, "failed to get properties %d\n", error);
        return;
    }
    for (jint i = 0; i < count; i++) {
        JvmtiString name(jvmti, names.get()[i]);
        if (!name) continue;
        JvmtiString value = getSystemProperty(jvmti, name.get());
        if (value) log_write(TS_DEBUG, "Property %s = %s", name.get(), value.get());
    }
}
