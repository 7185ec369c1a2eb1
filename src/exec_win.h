// The Windows side of child process execution: one quoted command line for
// CreateProcessW, and the formatting of the last system error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "exec.h"

// Appends `argument` to `commandLine` quoted so that CommandLineToArgvW and
// the C runtime's parser give it back unchanged, followed by one blank.
// `commandLine` must hold 2 x length + 4 more bytes.
void appendQuotedArgument(char* commandLine, const char* argument);
// runChildProcess with the command line as given.
ChildRun runCommandLine(const char* commandLine, size_t bufferSize, uint32_t* pid, int timeoutSeconds = 0,
                        const std::vector<EnvironmentEdit>* environment = nullptr);
// "Error code 0x%08x, <system text>" for GetLastError, cut to `size` bytes.
void formatLastError(char* buffer, size_t size);
