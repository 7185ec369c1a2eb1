// The debugger proxy runner: one JVM TI agent thread that starts the proxy
// JVM, waits for it, notes how it ended and starts it again unless it ended
// within seconds.
#include "debugger_proxy.h"

#include <algorithm>
#include <charconv>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "atomic_view.h"
#include "agent_util.h"
#include "bootcache_args.h"
#include "exec.h"
#include "fileutils.h"
#include "jarinfo.h"
#include "list.h"
#include "logging.h"
#include "agent_state.h"
#include "platform.h"

uint32_t proxy_pid = 0;
int32_t agent_unloaded = 0;

namespace {

constexpr std::string_view kProxyOption = "dbgproxyport=";
constexpr std::string_view kJdwpAgent = "-agentlib:jdwp=";
constexpr std::string_view kAddress = "address=";
constexpr int kEarlyExitSeconds = 4;

// The decimal number at the start of `text` when it has 1 to `maxDigits`
// digits, else 0 (also when it does not fit an int).
int leadingNumber(std::string_view text, size_t maxDigits) {
    auto digitsEnd = std::find_if_not(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    size_t digits = static_cast<size_t>(digitsEnd - text.begin());
    if (digits == 0 || digits > maxDigits) return 0;
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + digits, value);
    return error == std::errc() && end == text.data() + digits ? value : 0;
}

char* formatNumber(const char* format, long value) {
    char buffer[48];
    snprintf(buffer, sizeof buffer, format, value);
    return lfts_dup(buffer);
}

// The folder of the agent jar, with its separator; "" for a bare file name,
// so that the proxy jar is looked up in the working directory.
char* jarFolder(const char* jarPath) {
    std::string_view path = jarPath;
    size_t separator = path.rfind(TS_DIR_SEPARATOR);
    return separator == std::string_view::npos ? lfts_dup("") : lfts_ndup(jarPath, separator + 1);
}

}  // namespace

int parseDebuggerProxyPort(const char* options) {
    if (options == nullptr) {
        log_write(TS_DEBUG, "agent.options is NULL");
        return 0;
    }
    std::string_view text = options;
    size_t at = text.find(kProxyOption);
    if (at == std::string_view::npos) {
        log_write(TS_DEBUG, "No dbgproxyport option in options [%s]", options);
        return 0;
    }
    return leadingNumber(text.substr(at + kProxyOption.size()), 15);
}

int getDebuggerProxyPort() {
    return parseDebuggerProxyPort(agent.options);
}

int parseJdwpPort(int argc, char** argv) {
    char** end = argv + argc;
    char** jdwp = std::find_if(argv + std::min(argc, 1), end,
                               [](const char* arg) { return std::string_view(arg).starts_with(kJdwpAgent); });
    if (jdwp == end) return 0;
    std::string_view arg = *jdwp;
    size_t address = arg.find(kAddress);
    if (address == std::string_view::npos) return 0;
    std::string_view rest = arg.substr(address + kAddress.size());
    size_t colon = rest.find(':');
    if (colon != std::string_view::npos) rest = rest.substr(colon + 1);
    return leadingNumber(rest, 14);
}

int getJdwpPort() {
    int argc = 0;
    char** argv = nullptr;
    if (getCommandLineArguments(&argc, &argv) != 0) return 0;
    int port = parseJdwpPort(argc, argv);
    freeCommandLineArguments(argc, argv);
    return port;
}

arg_vector* createProxyCommand(jvmtiEnv* jvmti, int proxyPort, int jdwpPort) {
    ts_list* list = ts_list_init();
    char* javaHome = nullptr;
    check_jvmti_error(jvmti, jvmti->GetSystemProperty("java.home", &javaHome), "get java.home");
    log_write(TS_DEBUG, "java.home is %s", javaHome);
    ts_list_push(list, getJavaExecutable(javaHome));
    deallocate(jvmti, javaHome);

    if (JvmtiString base = getSystemProperty(jvmti, "vesta.base")) {
        ts_list_push(list, lfts_concat("-Dvesta.base=", base.get()));
    }
    ts_list_push(list, formatNumber("-Dvesta.parent.pid=%ld", getPid()));
    ts_list_push(list, lfts_dup("-jar"));
    HeapString folder(jarFolder(agent.jarInfo->path));
    log_write(TS_DEBUG, "Jar locatiom: %s", folder.get());
    char* proxyJar = lfts_concat(folder.get(), "ts-debugger-proxy.jar");
    log_write(TS_DEBUG, "Debugger proxy: %s", proxyJar);
    ts_list_push(list, proxyJar);
    ts_list_push(list, formatNumber("%ld", proxyPort));
    ts_list_push(list, lfts_dup("localhost"));
    ts_list_push(list, formatNumber("%ld", jdwpPort));

    auto* command = static_cast<arg_vector*>(ts_checked_alloc(malloc(sizeof(arg_vector))));
    command->argc = static_cast<int>(ts_list_size(list));
    command->argv = reinterpret_cast<char**>(ts_list_to_array(list));
    return command;
}

void freeProxyCommand(arg_vector* command) {
    std::for_each(command->argv, command->argv + command->argc, free);
    free(command->argv);
    free(command);
}

jthread newThread(JNIEnv* jni) {
    jclass threadClass = jni->FindClass("java/lang/Thread");
    if (threadClass == nullptr) return nullptr;
    jmethodID constructor = jni->GetMethodID(threadClass, "<init>", "()V");
    jthread thread = constructor != nullptr ? jni->NewObject(threadClass, constructor) : nullptr;
    jni->DeleteLocalRef(threadClass);
    return thread;
}

namespace {

constexpr int kFirstRetrySeconds = 1;
constexpr int kLastRetrySeconds = 60;
constexpr jlong kUnloadPollMillis = 10;
constexpr int kUnloadPolls = 500;

// Orders a start against unload: the runner checks "unloaded" and marks a
// start under it, and unload waits under it while a started proxy has not
// yet published its process id, so a proxy being started as the JVM
// unloads is killed too. Also wakes a back-off early at unload.
jvmtiEnv* monitorEnv = nullptr;
jrawMonitorID monitor = nullptr;
bool starting = false;

class ProxyLock {
public:
    ProxyLock() { monitorEnv->RawMonitorEnter(monitor); }
    ProxyLock(const ProxyLock&) = delete;
    ProxyLock& operator=(const ProxyLock&) = delete;
    ~ProxyLock() { monitorEnv->RawMonitorExit(monitor); }
    void wait(jlong millis) { monitorEnv->RawMonitorWait(monitor, millis); }
    void notifyAll() { monitorEnv->RawMonitorNotifyAll(monitor); }
};

AtomicView<uint32_t> runningProxy() {
    return AtomicView<uint32_t>(proxy_pid);
}

// A proxy that stops is started again, and one that cannot start is
// retried: its end is only noted, and the JVM goes on.
void noteProxyEnd(const ChildRun& run) {
    switch (run.end) {
        case ChildRun::End::exited:
            if (run.status != 0) log_write(TS_INFO, "Child JVM has been shut down (exit code: %d).", run.status);
            break;
        case ChildRun::End::signalled:
            log_write(TS_INFO, "Child JVM has been shut down (wstatus: %d).", run.status);
            break;
        case ChildRun::End::timedOut:  // it runs without a time limit
            break;
        case ChildRun::End::notStarted:
            log_write(TS_ERROR, "Failed to %s (%s)", run.failedStep, run.errorText.c_str());
            break;
        case ChildRun::End::unknown:
            log_write(TS_WARN, "Could not learn how the child process ended (%s)", run.errorText.c_str());
            break;
    }
}

// Runs one proxy until it ends; false when it was not started: the JVM is
// unloading, or the start failed (no process id was published).
bool runProxyOnce(arg_vector* command) {
    {
        ProxyLock lock;
        if (agent_unloaded) return false;
        starting = true;
        runningProxy().store(0);
    }
    // The proxy is the library's JVM too: no debugger or agent of the
    // user's variables (it would bind the JDWP port itself, or wait).
    noteProxyEnd(runChildProcess(command->argc, command->argv, 4096, &proxy_pid, 0, &childEnvironment(agent.jvmti)));
    ProxyLock lock;
    starting = false;
    lock.notifyAll();
    // The child is reaped: its process id may be given to another process
    // now, which unload must never kill.
    return runningProxy().exchange(0) != 0;
}

// Waits `seconds` before the next start, or until unload.
void backOff(int seconds) {
    ProxyLock lock;
    if (!agent_unloaded) lock.wait(static_cast<jlong>(seconds) * 1000);
}

bool unloading() {
    ProxyLock lock;
    return agent_unloaded != 0;
}

}  // namespace

void createProxyLock(jvmtiEnv* jvmti) {
    if (monitor != nullptr) return;
    check_jvmti_error(jvmti, jvmti->CreateRawMonitor("DebuggerProxyMonitor", &monitor), "CreateRawMonitor");
    monitorEnv = jvmti;
}

void JNICALL runDebuggerProxy(jvmtiEnv* /*jvmti*/, JNIEnv* /*jni*/, void* argument) {
    auto* command = static_cast<arg_vector*>(argument);
    log_write(TS_DEBUG, "In debugger proxy runner thread");
    int retrySeconds = kFirstRetrySeconds;
    for (bool restart = false; !unloading();) {
        if (restart) {
            fputs("Debugger Proxy has stopped. Restarting Debugger Proxy.\n", stderr);
            fflush(stderr);
        }
        time_t start = time(nullptr);
        bool ran = runProxyOnce(command);
        if (unloading()) break;
        if (!ran) {
            // Out of descriptors or memory for a moment: the JVM goes on.
            log_write(TS_ERROR, "Debugger Proxy could not be started. Retrying in %d s.", retrySeconds);
            backOff(retrySeconds);
            retrySeconds = std::min(2 * retrySeconds, kLastRetrySeconds);
            restart = false;
            continue;
        }
        if (time(nullptr) - start <= kEarlyExitSeconds) {
            log_write(TS_ERROR, "Early exit of Debugger Proxy. Debugger Proxy will not be restarted.");
            break;
        }
        retrySeconds = kFirstRetrySeconds;
        restart = true;
    }
    freeProxyCommand(command);
    log_write(TS_DEBUG, "Exiting debugger proxy runner thread");
}

void launchDebuggerProxy(jvmtiEnv* jvmti, JNIEnv* jni) {
    int proxyPort = getDebuggerProxyPort();
    log_write(TS_DEBUG, "Debugger proxy port: %d", proxyPort);
    if (proxyPort <= 0) {
        log_write(TS_DEBUG, "No debugger proxy port. Debugger proxy will not be launched.");
        return;
    }
    int jdwpPort = getJdwpPort();
    log_write(TS_DEBUG, "JDWP port: %d", jdwpPort);
    if (jdwpPort <= 0) {
        log_write(TS_DEBUG, "No JDWP port. Debugger proxy will not be launched.");
        return;
    }
    arg_vector* command = createProxyCommand(jvmti, proxyPort, jdwpPort);
    createProxyLock(jvmti);
    jthread thread = newThread(jni);
    jvmtiError error = thread != nullptr
                           ? jvmti->RunAgentThread(thread, runDebuggerProxy, command, JVMTI_THREAD_NORM_PRIORITY)
                           : JVMTI_ERROR_INVALID_THREAD;
    if (error != JVMTI_ERROR_NONE) {
        if (thread == nullptr) jni->ExceptionClear();
        log_write(TS_DEBUG, "Failed to start debugger proxy runner thread error=%d.", error);
        freeProxyCommand(command);
    }
    if (thread != nullptr) jni->DeleteLocalRef(thread);
}

void terminateDebuggerProxy() {
    uint32_t pid = 0;
    if (monitor == nullptr) {
        agent_unloaded = 1;  // no runner was ever started
    } else {
        ProxyLock lock;
        agent_unloaded = 1;
        lock.notifyAll();
        // A start in progress either publishes its process id or fails soon.
        for (int polls = 0; starting && runningProxy().load() == 0 && polls < kUnloadPolls; polls++) {
            lock.wait(kUnloadPollMillis);
        }
        pid = runningProxy().exchange(0);
    }
    if (pid != 0) {
        log_write(TS_DEBUG, "Terminating debugger proxy pid=%d.", static_cast<int>(pid));
        terminateProcess(pid);
    }
}
