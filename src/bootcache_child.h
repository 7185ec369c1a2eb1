// The bootstrap cache's child JVM, which writes the bootstrap jar: run
// through the exec layer, with what its end means for this JVM decided
// here, once for every platform.
#pragma once

#include <vector>

#include "exec.h"

// Runs the child; any end but a success logs why at FATAL and ends the JVM.
// An end that could not be learnt is only a warning: the jar the child
// left behind decides.
void runBootstrapChild(int argc, char** argv, int timeoutSeconds, const std::vector<EnvironmentEdit>* environment);
// Logs what `run` of a child with `timeoutSeconds` to run means; true when
// the JVM must end.
bool judgeBootstrapChild(const ChildRun& run, int timeoutSeconds);
