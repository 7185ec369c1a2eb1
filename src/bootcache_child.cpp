// The bootstrap cache's child JVM: the exec layer runs it and reports how
// it ended; here that end is judged, with the same words on every platform,
// because the JVM cannot go on without the base classes the child prepares.
#include "bootcache_child.h"

#include "logging.h"

namespace {

// `form` says what `value` is: "exit code", or "wstatus" for a signal.
void logAbnormalEnd(const char* form, int value) {
    log_write(TS_FATAL,
              "A fatal error occurred while processing the base Java classes. The JVM has been shut down (%s: %d).",
              form, value);
}

}  // namespace

bool judgeBootstrapChild(const ChildRun& run, int timeoutSeconds) {
    switch (run.end) {
        case ChildRun::End::exited:
            if (run.status == 0) return false;
            logAbnormalEnd("exit code", run.status);
            return true;
        case ChildRun::End::signalled:
            logAbnormalEnd("wstatus", run.status);
            return true;
        case ChildRun::End::timedOut:
            log_write(TS_FATAL,
                      "The child JVM processing the base Java classes did not finish within %d seconds and was killed. "
                      "The limit is set by the system property 'vesta.bootstrap.timeout' (seconds; 0 for none).",
                      timeoutSeconds);
            return true;
        case ChildRun::End::notStarted:
            log_write(TS_FATAL, "Failed to %s (%s)", run.failedStep, run.errorText.c_str());
            return true;
        case ChildRun::End::unknown:
            // No success either, but the jar may be whole: its check decides.
            log_write(TS_WARN, "Could not learn how the child process ended (%s)", run.errorText.c_str());
            return false;
    }
    return true;
}

void runBootstrapChild(int argc, char** argv, int timeoutSeconds, const std::vector<EnvironmentEdit>* environment) {
    ChildRun run = runChildProcess(argc, argv, 4096, nullptr, timeoutSeconds, environment);
    if (judgeBootstrapChild(run, timeoutSeconds)) fatal_error_kill(1);
}
