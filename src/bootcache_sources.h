// Where a JVM takes its options from, each read as the JVM or its launcher
// splits it, so that the child JVM and the runtime hash see what the JVM
// saw: the command line, then the variables JDK_JAVA_OPTIONS (read by the
// launcher of Java 9 and later), JAVA_TOOL_OPTIONS, OPENJ9_JAVA_OPTIONS and
// IBM_JAVA_OPTIONS (OpenJ9 and IBM JVMs), _JAVA_OPTIONS and
// JDK_AOT_VM_OPTIONS (HotSpot). Argument files ("@file", Java 9 and later)
// and the files of -XX:VMOptionsFile= and -XX:Flags= are expanded where
// they stand, as far as the JVM itself reads them.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bootcache_grammar.h"
#include "readfile.h"

// What a source is, which decides how it is read and filtered.
enum class SourceKind {
    // The launcher's command line: entry 0 is the launcher, the options end
    // at the main class, argument files are expanded (Java 9 and later).
    commandLine,
    // A variable the launcher reads as if it stood before the command line's
    // options (JDK_JAVA_OPTIONS, Java 9 and later): argument files expanded.
    launcherVariable,
    // A variable the JVM itself reads (JAVA_TOOL_OPTIONS and the like).
    jvmVariable,
    // A variable an OpenJ9 or IBM JVM reads (JAVA_TOOL_OPTIONS,
    // OPENJ9_JAVA_OPTIONS, IBM_JAVA_OPTIONS, _JAVA_OPTIONS there), split by
    // that JVM's own rule (splitOpenJ9OptionsText).
    openJ9Variable,
};

struct OptionSource {
    SourceKind kind = SourceKind::jvmVariable;
    std::string name;                  // "command line" or the variable's name
    bool present = false;              // a variable: whether it is set
    std::vector<std::string> options;
    int release = kNewestRelease;      // the launcher's grammar it was read in
    bool isCommandLine() const { return kind == SourceKind::commandLine; }
};
// What collectOptionSources reads: injected, so that tests and the fuzzer
// can hand it any command line, environment and files.
struct OptionInputs {
    std::vector<std::string> commandLine;
    bool java9 = true;                 // argument files and JDK_JAVA_OPTIONS
    int release = kNewestRelease;      // the JVM's feature release, for the launcher's grammar
    bool openJ9 = false;               // an OpenJ9 or IBM JVM: its variables, no HotSpot options files
    std::function<const char*(const char* name)> variable;
    // The text of a regular file, read without blocking.
    std::function<FileRead(const std::string& path, std::string* text)> readFile;
    // The release the launcher's grammar is read in.
    int grammarRelease() const { return java9 ? (release > 9 ? release : 9) : kOldestRelease; }
};
// The command line first, then the variables in the order above.
std::vector<OptionSource> collectOptionSources(const OptionInputs& inputs);
// This JVM's sources, read once.
const std::vector<OptionSource>& jvmOptionSources();
// The launcher's argument file syntax: blanks separate, '#' starts a
// comment, quotes group, and inside quotes a backslash escapes.
std::vector<std::string> splitArgumentFile(std::string_view text);
// The syntax of JAVA_TOOL_OPTIONS and the other variables, and of
// -XX:VMOptionsFile=: blanks separate, quotes group, nothing escapes.
std::vector<std::string> splitOptionsText(std::string_view text);
// The syntax of a -XX:Flags= file: flag settings without their "-XX:".
std::vector<std::string> splitFlagsFile(std::string_view text);
// Options as splitOptionsText reads them back.
std::string joinOptionsText(const std::vector<std::string>& options);
// The syntax OpenJ9 and IBM JVMs read their variables in: only spaces
// separate; double quotes group up to the next one, after which a space ends
// the option again; \" and "" stand for a quote; single quotes are text.
std::vector<std::string> splitOpenJ9OptionsText(std::string_view text);
// Options as splitOpenJ9OptionsText reads them back (an empty option,
// which that syntax cannot hold, is left out).
std::string joinOpenJ9OptionsText(const std::vector<std::string>& options);
