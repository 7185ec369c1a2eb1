// The parsing of /proc/<pid>/cmdline, apart from its reading so that crafted
// buffers can be tested.
#pragma once

#include <cstddef>
#include <string_view>

// The most bytes of /proc/<pid>/cmdline that are read.
inline constexpr size_t kCmdlineReadLimit = 131000;

// Splits the bytes read into copies of the arguments. `bytes.size()` is the
// number of bytes read; reading exactly the limit means the line was cut.
void splitProcCmdline(std::string_view bytes, int* argc, char*** argv);
