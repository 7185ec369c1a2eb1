// The parent JVM's options that the child JVM building the bootstrap jar
// inherits: the -X, -XX, "--" and -agentpath options before the main class,
// less those that only concern the parent.
#include <cstring>
#include <string_view>

#include "bootcache.h"
#include "bootcache_text.h"
#include "fileutils.h"
#include "list.h"
#include "logging.h"
#include "onLoad.h"

namespace {

constexpr std::string_view kSeparateValueOptions[] = {
    "-cp", "-classpath", "--class-path", "-p", "--module-path", "--upgrade-module-path", "--add-modules",
    "--describe-module", "--add-reads", "--add-exports", "--add-opens", "--limit-modules", "--patch-module"};

constexpr std::string_view kEndingArguments[] = {
    "-m", "-d", "--describe-module", "--list-modules", "-version", "--version", "-showversion", "--show-version",
    "-fullversion", "-h", "-help", "--help", "--help-extra", "-?", "-X"};

constexpr std::string_view kIgnoredXPrefixes[] = {
    "-Xdebug", "-Xrunjdwp", "-Xmx", "-Xms", "-Xmn", "-XX:NewSize", "-XX:MaxPermSize", "-XX:MaxNewSize",
    "-XX:InitialCodeCacheSize", "-XX:CodeCacheExpansionSize", "-XX:ReservedCodeCacheSize"};

constexpr std::string_view kIgnoredDashDashPrefixes[] = {"--class-path", "--module-path", "--upgrade-module-path",
                                                         "--describe-module"};
constexpr std::string_view kIgnoredDashDashExact[] = {
    "--console", "--list-modules", "--dry-run", "--validate-modules", "--version", "--show-version",
    "--show-module-resolution", "--help", "--help-extra"};


char** additionalArgs = nullptr;
int additionalArgCount = 0;

}  // namespace

int hasSeparateArgument(const char* arg) {
    return isOneOf(arg, kSeparateValueOptions);
}

int findArgumentLimit(int argc, char** argv) {
    int i = 1;
    while (i < argc) {
        if (argv[i][0] != '-' || isOneOf(argv[i], kEndingArguments)) return i;
        i += hasSeparateArgument(argv[i]) ? 2 : 1;
    }
    return argc;
}

int isXArg(const char* arg) {
    return std::string_view(arg).starts_with("-X");
}

int isIgnoredXArg(const char* arg) {
    return isXArg(arg) && startsWithOneOf(arg, kIgnoredXPrefixes);
}

int isDashDashArgument(const char* arg) {
    return std::string_view(arg).starts_with("--");
}

int isIgnoredDashDashArgument(const char* arg) {
    return isDashDashArgument(arg) &&
           (startsWithOneOf(arg, kIgnoredDashDashPrefixes) || isOneOf(arg, kIgnoredDashDashExact));
}

int isIgnoredAgent(const char* arg, const char* libraryPath) {
    std::string_view path = libraryPath != nullptr ? libraryPath : "";
    size_t separator = path.find_last_of("/\\");
    std::string_view fileName = separator == std::string_view::npos ? path : path.substr(separator + 1);
    std::string_view option = arg;
    return (!fileName.empty() && option.find(fileName) != std::string_view::npos) ||
           option.find("jprofilerti") != std::string_view::npos;
}

int isVendorIbm(jvmtiEnv* jvmti) {
    char* vendor = nullptr;
    if (jvmti->GetSystemProperty("java.vm.vendor", &vendor) != JVMTI_ERROR_NONE) return 0;
    int ibm = vendor != nullptr && strcmp(vendor, "IBM Corporation") == 0;
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(vendor));
    return ibm;
}

char** filterAdditionalArgs(int argc, char** argv, bool ibmVendor, const char* libraryPath, int* count) {
    int limit = findArgumentLimit(argc, argv);
    auto** args = static_cast<char**>(ts_checked_alloc(calloc(static_cast<size_t>(argc) + 1, sizeof(char*))));
    int n = 0;
    const char* verify = nullptr;
    for (int i = 0; i < limit; i++) {
        const char* arg = argv[i];
        std::string_view option = arg;
        log_write(TS_DEBUG, "We have arg: %s", arg);
        if (option.starts_with("-Xshareclasses:")) {
            args[n++] = lfts_dup("-Xshareclasses:none");
        } else if (option.starts_with("-Xverify")) {
            verify = arg;
        } else if (isXArg(arg) && !isIgnoredXArg(arg)) {
            args[n++] = lfts_dup(arg);
        } else if (isDashDashArgument(arg) && !isIgnoredDashDashArgument(arg)) {
            args[n++] = lfts_dup(arg);
            if (hasSeparateArgument(arg) && i + 1 < argc) args[n++] = lfts_dup(argv[++i]);
        } else if (option.starts_with("-agentpath") && !isIgnoredAgent(arg, libraryPath)) {
            args[n++] = lfts_dup(arg);
        }
    }
    // IBM JVMs must verify everything in the child, whatever the parent said.
    if (ibmVendor) {
        args[n++] = lfts_dup("-Xverify:all");
    } else if (verify != nullptr) {
        args[n++] = lfts_dup(verify);
    }
    *count = n;
    return args;
}

char** getAdditionalArgs(jvmtiEnv* jvmti, int* count) {
    if (additionalArgs == nullptr) {
        int argc = 0;
        char** argv = nullptr;
        if (getCommandLineArguments(&argc, &argv) != 0) {
            additionalArgs = static_cast<char**>(ts_checked_alloc(calloc(1, sizeof(char*))));
            additionalArgCount = 0;
        } else {
            additionalArgs = filterAdditionalArgs(argc, argv, isVendorIbm(jvmti), agent.libraryPath,
                                                  &additionalArgCount);
            freeCommandLineArguments(argc, argv);
        }
    }
    *count = additionalArgCount;
    return additionalArgs;
}

