// The Java launcher's grammar, as far as the cache needs it: which options
// take their value as the next argument, and which arguments end the JVM's
// options. Below every reader of a command line: the option sources, the
// inherited options and the child's command line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Whether an argument ends the JVM's options: the main class (or anything
// not an option), or one of the ending options ("-m", "--version"...).
bool endsJvmOptions(std::string_view arg);
// Whether the option takes its value as the next argument ("-cp lib").
int hasSeparateArgument(const char* arg);
// The index of the first argument that is not a JVM option (entry 0 is the
// launcher), or argc.
int findArgumentLimit(int argc, char** argv);
int findArgumentLimit(const std::vector<std::string>& commandLine);
