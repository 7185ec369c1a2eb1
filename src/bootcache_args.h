// The parent JVM's options that the child JVM building the bootstrap jar
// inherits, from every source of options, through one filter: the -X, -XX,
// "--" and -agentpath options before the main class, less those that only
// concern the parent and those the library's child must never take over;
// and the system properties the child never gets.
#pragma once

#include <jvmti.h>

#include <string>
#include <string_view>
#include <vector>

#include "bootcache_sources.h"
#include "exec.h"

// The filter every source goes through; the source's kind decides where its
// options end (the command line: at the main class, entry 0 being the
// launcher) and how -Xverify is handed on.
// `release` is the launcher grammar's (bootcache_grammar.h): a separate
// value is kept where its option is kept and dropped with it.
std::vector<std::string> filterOptions(const std::vector<std::string>& options, SourceKind kind, bool ibmVendor,
                                       const char* libraryPath, int release = kNewestRelease);
// The same over a command line as the launcher got it; the result and its
// strings are new heap allocations.
char** filterAdditionalArgs(int argc, char** argv, bool ibmVendor, const char* libraryPath, int* count,
                            int release = kNewestRelease);

// A variable of the parent's option sources and what of it the child
// inherits (nothing: the child goes without the variable).
struct InheritedVariable {
    std::string name;
    std::vector<std::string> kept;
    SourceKind kind = SourceKind::jvmVariable;  // the syntax its copy is written in
};
// What the child inherits of every source.
struct InheritedOptions {
    std::vector<std::string> commandLine;      // for the child's command line
    std::vector<InheritedVariable> variables;  // the variables that are set, in order
    // All of it in the order the runtime hash takes it: the command line,
    // then the variables.
    std::vector<std::string> hashed() const;
    // The child's copies of the variables: the kept options, or none.
    std::vector<EnvironmentEdit> environment() const;
};
InheritedOptions inheritedOptions(const std::vector<OptionSource>& sources, bool ibmVendor, const char* libraryPath);

// This JVM's, computed once from its sources and the agent state (the
// vendor, the library's path): the command line's part as an array owned
// here, all of it, and the environment the library's child JVMs get
// instead of the JVM's own.
char** getAdditionalArgs(jvmtiEnv* jvmti, int* count);
const InheritedOptions& getInheritedOptions(jvmtiEnv* jvmti);
const std::vector<EnvironmentEdit>& childEnvironment(jvmtiEnv* jvmti);

// The first option of any source that gives the JVM a class data sharing or
// AOT archive of the user's own ("-XX:AOTCache=...", "-XX:SharedArchiveFile=..."),
// with the source's name; empty when there is none.
std::string userArchiveOption(const std::vector<OptionSource>& sources, std::string* sourceName);

int isXArg(const char* arg);
// Whether an -X or -XX option is one the child never inherits.
int isIgnoredXArg(const char* arg);
int isDashDashArgument(const char* arg);
int isIgnoredDashDashArgument(const char* arg);
// Whether an -agentpath: option loads this library (its file name) or a
// profiler whose agent the child must not run.
int isIgnoredAgent(const char* arg, const char* libraryPath);
// Whether an -agentpath: option loads the JDK's own debugger back end or
// Java agent library (libjdwp, libinstrument, in any platform's spelling),
// its file name compared without case when `ignoreCase` (the platform's
// file systems ignoring it, as macOS's and Windows' do).
bool isJdkAgentPath(std::string_view option, bool ignoreCase);
// Whether the child never gets a system property of the JVM's as a -D
// option: the application's own class loader and security manager, and
// the management agent's settings.
bool isNeverInheritedProperty(std::string_view name);
