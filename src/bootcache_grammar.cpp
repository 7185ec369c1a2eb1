// The Java launcher's grammar: the options that take a separate value and
// the arguments that end the JVM's options, in one place for every reader
// of a command line.
#include "bootcache_grammar.h"

#include "bootcache_text.h"

namespace {

constexpr std::string_view kSeparateValueOptions[] = {
    "-cp", "-classpath", "--class-path", "-p", "--module-path", "--upgrade-module-path", "--add-modules",
    "--describe-module", "--add-reads", "--add-exports", "--add-opens", "--limit-modules", "--patch-module"};

constexpr std::string_view kEndingArguments[] = {
    "-m", "-d", "--describe-module", "--list-modules", "-version", "--version", "-showversion", "--show-version",
    "-fullversion", "-h", "-help", "--help", "--help-extra", "-?", "-X"};

}  // namespace

int hasSeparateArgument(const char* arg) {
    return isOneOf(arg, kSeparateValueOptions);
}

bool endsJvmOptions(std::string_view arg) {
    return !arg.starts_with("-") || isOneOf(arg, kEndingArguments);
}

int findArgumentLimit(int argc, char** argv) {
    int i = 1;
    while (i < argc) {
        if (endsJvmOptions(argv[i])) return i;
        i += hasSeparateArgument(argv[i]) ? 2 : 1;
    }
    return argc;
}

int findArgumentLimit(const std::vector<std::string>& commandLine) {
    std::vector<char*> argv;
    for (const std::string& arg : commandLine) argv.push_back(const_cast<char*>(arg.c_str()));
    return findArgumentLimit(static_cast<int>(argv.size()), argv.data());
}
