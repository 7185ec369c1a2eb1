// The debugger proxy: with a JDWP agent on the command line and the agent
// option "dbgproxyport=N", a JVM TI agent thread runs ts-debugger-proxy.jar
// (beside the agent jar) in a second JVM, restarts it when it stops after a
// normal run, and unload kills it.
#pragma once

#include <jvmti.h>

#include <cstdint>

struct arg_vector {
    int argc;
    char** argv;
};

// The running proxy's process id, 0 while none runs.
extern uint32_t proxy_pid;
extern int32_t agent_unloaded;

void launchDebuggerProxy(jvmtiEnv* jvmti, JNIEnv* jni);
void terminateDebuggerProxy();
int getDebuggerProxyPort();
int getJdwpPort();
// The JDWP port of a command line (entry 0 is the launcher); 0 for none.
int parseJdwpPort(int argc, char** argv);
// The proxy port of an option string; 0 for none.
int parseDebuggerProxyPort(const char* options);
arg_vector* createProxyCommand(jvmtiEnv* jvmti, int proxyPort, int jdwpPort);
void freeProxyCommand(arg_vector* command);
jthread newThread(JNIEnv* jni);
// The raw monitor that orders proxy starts against unload; made once, before
// the runner starts.
void createProxyLock(jvmtiEnv* jvmti);
// Starts the proxy again after a normal run, retries a failed start after a
// back-off (1 s doubling to 60 s), and stops at unload or an early exit.
void JNICALL runDebuggerProxy(jvmtiEnv* jvmti, JNIEnv* jni, void* argument);
