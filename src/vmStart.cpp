// VM start: the JVM is up far enough that children it starts from now on must
// be free to load the agent again.
#include "list.h"
#include "logging.h"
#include "vmInit.h"

void JNICALL callback_VMStart(jvmtiEnv*, JNIEnv*) {
    log_write(TS_DEBUG, "VMStart");
    lfts_unsetenv("VESTA_NATIVE_PRESENT");
}
