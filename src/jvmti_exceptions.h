// The Java exception each JVM TI error becomes in the natives: the class and
// message the JDK's own agent throws for the same error, per feature
// release. One table for every native, so that an agent sees the same
// exceptions here as under -javaagent.
#pragma once

#include <jni.h>
#include <jvmti.h>

struct JvmtiException {
    const char* className;  // internal name; null: the call returns quietly
    const char* message;    // null: the exception has no message
};

// What the JDK's agent of feature release `release` (8 to 28) throws for
// `error`, which is not JVMTI_ERROR_NONE.
JvmtiException exceptionFor(jvmtiError error, int release);

// Throws exceptionFor(error, the JVM's release) for the caller's JVM TI
// call; true when an exception is pending afterwards. An exception already
// pending is kept: JNI allows no other call until it is handled.
bool throwForError(JNIEnv* jni, jvmtiError error, const char* call);
