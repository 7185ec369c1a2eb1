// The shared part of the bootstrap jar cache: which of the parent JVM's
// options the child JVM inherits, the cache key, the child JVM's command
// line, the classpath jar, and the lookup that generates on a miss.
#include "bootcache.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string_view>

#include "agent_util.h"
#include "exec.h"
#include "fileutils.h"
#include "list.h"
#include "logging.h"
#include "jarinfo.h"
#include "md5.h"
#include "onLoad.h"
#include "platform.h"
#include "version.h"
#include "zip.h"

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

template <size_t N>
bool isOneOf(std::string_view arg, const std::string_view (&table)[N]) {
    return std::find(std::begin(table), std::end(table), arg) != std::end(table);
}

template <size_t N>
bool startsWithOneOf(std::string_view arg, const std::string_view (&table)[N]) {
    return std::any_of(std::begin(table), std::end(table),
                       [arg](std::string_view prefix) { return arg.starts_with(prefix); });
}

constexpr std::string_view kIgnoredProperties[] = {
    "vesta.log.file", "vesta.notification", "vesta.bootcache.dir", "idea.launcher.", "was.status.socket",
    "java.class.path", "jdk.module.", "test.", "com.ibm.oti.vm.", "sun.boot.", "sun.java."};

constexpr std::string_view kValueIgnoredProperties[] = {"com.sun.management.jmxremote.port", "wrapper.key",
                                                        "wrapper.pid"};

void hashString(MD5_CTX* ctx, const char* text) {
    MD5_Update(ctx, text, strlen(text));
}

// Feeds every property the hash counts, in the JVM's own order.
void hashProperties(jvmtiEnv* jvmti, MD5_CTX* ctx) {
    jint count = 0;
    char** names = nullptr;
    if (jvmti->GetSystemProperties(&count, &names) != JVMTI_ERROR_NONE) return;
    for (jint i = 0; i < count; i++) {
        char* name = names[i];
        if (name == nullptr) continue;
        if (!isIgnoredProperty(name)) {
            hashString(ctx, name);
            char* value = nullptr;
            if (!isPropertyValueIgnored(name) && jvmti->GetSystemProperty(name, &value) == JVMTI_ERROR_NONE) {
                hashString(ctx, value);
                jvmti->Deallocate(reinterpret_cast<unsigned char*>(value));
            }
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(name));
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char*>(names));
}

char** additionalArgs = nullptr;
int additionalArgCount = 0;
char* bootstrapFolder = nullptr;

}  // namespace

const char* getBootstrapFolder(jvmtiEnv* jvmti) {
    if (bootstrapFolder != nullptr) return bootstrapFolder;
    HeapString folder(getBootstrapFromProperty(jvmti));
    if (!folder) folder.reset(getBootstrapFromVestaBase(jvmti));
    if (!folder) folder.reset(getBootstrapFromUserHome());
    if (!folder) {
        log_write(TS_FATAL,
                  "Error finding a suitable bootstrap folder! Please specify a folder that exists and is writable by "
                  "setting the 'VESTA_BASE' system environment variable.");
        fatal_error_kill(0);
    }
    bootstrapFolder = finishBootstrapFolder(folder.get());
    return bootstrapFolder;
}

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

int isIgnoredProperty(const char* name) {
    return startsWithOneOf(name, kIgnoredProperties);
}

int isPropertyValueIgnored(const char* name) {
    return startsWithOneOf(name, kValueIgnoredProperties);
}

const char* additionalArgValueForHashing(const char* arg) {
    std::string_view option = arg;
    if (option.find("-agentpath") != std::string_view::npos &&
        option.find("libasyncProfiler") != std::string_view::npos) {
        // The profiler's path and options must not invalidate the cache.
        log_write(TS_DEBUG, "using placeholder libasyncProfiler");
        return "libasyncProfiler";
    }
    return arg;
}

void getRuntimeHash(jvmtiEnv* jvmti, const JarInfo* jarInfo, char* out) {
    MD5_CTX ctx;
    MD5_Init(&ctx);
    if (jarInfo->implementationVersion != nullptr) hashString(&ctx, jarInfo->implementationVersion);
    hashString(&ctx, tarsil_version);
    hashProperties(jvmti, &ctx);
    int count = 0;
    char** args = getAdditionalArgs(jvmti, &count);
    for (int i = 0; i < count; i++) {
        log_write(TS_DEBUG, "hash update for additionalArg %s", args[i]);
        hashString(&ctx, additionalArgValueForHashing(args[i]));
    }
    MD5_FinalStr(&ctx, out);
}

// ---------------------------------------------------------------------------
// The child JVM's command line

namespace {

constexpr std::string_view kGradleSecurityManagers[] = {
    "jarjar.org.gradle.process.internal.child.BootstrapSecurityManager",
    "worker.org.gradle.process.internal.worker.child.BootstrapSecurityManager"};

constexpr char kIntellijLoader[] = "com.intellij.util.lang.PathClassLoader";
constexpr char kInstallerClass[] = "com.lindenforgesys.javavesta.Install";

// Appends `option` and the property's value as two entries when it is set.
void pushPropertyPair(jvmtiEnv* jvmti, ts_list* list, const char* option, const char* property) {
    if (JvmtiString value = getSystemProperty(jvmti, property)) {
        ts_list_push(list, lfts_dup(option));
        ts_list_push(list, lfts_dup(value.get()));
    }
}

// Appends `prefix` followed by the property's value when it is set.
void pushPropertyOption(jvmtiEnv* jvmti, ts_list* list, const char* prefix, const char* property) {
    if (JvmtiString value = getSystemProperty(jvmti, property)) ts_list_push(list, lfts_concat(prefix, value.get()));
}

// printf into a new heap string of exactly the formatted length.
template <typename... Args>
char* formatHeap(const char* format, Args... args) {
    int length = snprintf(nullptr, 0, format, args...);
    auto* text = static_cast<char*>(ts_checked_alloc(malloc(static_cast<size_t>(length) + 1)));
    snprintf(text, static_cast<size_t>(length) + 1, format, args...);
    return text;
}

void logSystemProperties(jvmtiEnv* jvmti, jint count, char** names) {
    log_write(TS_DEBUG, "GetSystemProperties returned %d properties", static_cast<int>(count));
    for (jint i = 0; i < count; i++) {
        if (names[i] == nullptr) continue;
        char* value = nullptr;
        jvmtiError error = jvmti->GetSystemProperty(names[i], &value);
        if (error != JVMTI_ERROR_NONE) {
            log_write(TS_DEBUG, "  prop: %s (unavailable: %d)", names[i], error);
        } else {
            log_write(TS_DEBUG, "  prop: %s = %s", names[i], value);
            deallocate(jvmti, value);
        }
    }
}

// Step by step the "-D" options: every listed property that is not left out.
void pushSystemProperties(jvmtiEnv* jvmti, ts_list* list, jint count, char** names, int intellijLoader) {
    for (jint i = 0; i < count; i++) {
        char* name = names[i];
        if (name == nullptr) continue;
        char* value = nullptr;
        if (jvmti->GetSystemProperty(name, &value) == JVMTI_ERROR_NONE) {
            if (!isIgnoredCmdProperty(name, value, intellijLoader)) {
                ts_list_push(list, formatHeap("-D%s=%s", name, value));
            }
            deallocate(jvmti, value);
        }
        deallocate(jvmti, name);
    }
    deallocate(jvmti, names);
}

bool anyStartsWith(char** args, int count, std::string_view prefix) {
    return std::any_of(args, args + count, [prefix](const char* arg) { return std::string_view(arg).starts_with(prefix); });
}

}  // namespace

int isIgnoredCmdProperty(const char* name, const char* value, int intellijLoader) {
    std::string_view property = name;
    if (isIgnoredProperty(name) || property.starts_with("java.home") || property.starts_with("java.vm.")) return 1;
    if (property == "java.security.manager" && value != nullptr && isOneOf(value, kGradleSecurityManagers)) return 1;
    return intellijLoader && property == "jdk.boot.class.path.append";
}

char** getBootstrapBuildArguments(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath, int* count) {
    char* javaHome = nullptr;
    check_jvmti_error(jvmti, jvmti->GetSystemProperty("java.home", &javaHome), "get java.home");
    log_write(TS_DEBUG, "java.home is %s", javaHome);

    jint propertyCount = 0;
    char** names = nullptr;
    if (jvmti->GetSystemProperties(&propertyCount, &names) != JVMTI_ERROR_NONE) {
        propertyCount = 0;
        names = nullptr;
    }
    if (is_log_debug_enabled()) logSystemProperties(jvmti, propertyCount, names);

    ts_list* list = ts_list_init();
    ts_list_push(list, getJavaExecutable(javaHome));
    deallocate(jvmti, javaHome);

    int inheritedCount = 0;
    char** inherited = getAdditionalArgs(jvmti, &inheritedCount);
    for (int i = 0; i < inheritedCount; i++) ts_list_push(list, lfts_dup(inherited[i]));

    int intellijLoader = isPropertySet(jvmti, "java.system.class.loader", kIntellijLoader);
    if (intellijLoader) {
        ts_list_push(list, lfts_dup("--add-opens"));
        ts_list_push(list, lfts_dup("java.base/sun.nio.fs=ALL-UNNAMED"));
    }

    if (names != nullptr) pushSystemProperties(jvmti, list, propertyCount, names, intellijLoader);

    ts_list_push(list, lfts_dup("-Dvesta.pelican.bootstrap_run=true"));
    ts_list_push(list, lfts_dup("-Dvesta.pelican.bootstrap_single_jar=true"));
    ts_list_push(list, lfts_concat("-Dvesta.pelican.bootstrap_path=", outputPath));

    if (!getSystemProperty(jvmti, "vesta.skipcp")) {
        pushPropertyPair(jvmti, list, "-cp", "java.class.path");
        pushPropertyPair(jvmti, list, "-p", "jdk.module.path");
        pushPropertyPair(jvmti, list, "--upgrade-module-path", "jdk.module.upgrade.path");
    }

    ts_list_push(list, lfts_concat("-javaagent:", agentJarPath));

    jint version = 0;
    jvmti->GetVersionNumber(&version);
    if (((version >> 16) & 0xFFF) <= 8) pushPropertyOption(jvmti, list, "-Xbootclasspath:", "sun.boot.class.path");

    if (intellijLoader && !anyStartsWith(inherited, inheritedCount, "-Xbootclasspath/a:")) {
        pushPropertyOption(jvmti, list, "-Xbootclasspath/a:", "jdk.boot.class.path.append");
    }

    ts_list_push(list, lfts_concat("-Dvesta.log.file=", HeapString(lfts_concat(outputPath, ".log")).get()));
    ts_list_push(list, lfts_dup("-Dvesta.log=trace"));
    ts_list_push(list, lfts_dup("-Dvesta.no.native.mess=true"));
    ts_list_push(list, lfts_dup(kInstallerClass));

    *count = static_cast<int>(ts_list_size(list));
    return reinterpret_cast<char**>(ts_list_to_array(list));
}

void freeBootstrapBuildArguments(int count, char** argv) {
    std::for_each(argv, argv + count, free);
    free(argv);
}

// ---------------------------------------------------------------------------
// The classpath jar

namespace {

enum class ClasspathJarMode { automatic, always, never };

ClasspathJarMode classpathJarMode(jvmtiEnv* jvmti) {
    JvmtiString value = getSystemProperty(jvmti, "vesta.bootstrap_cpjar");
    if (!value) return ClasspathJarMode::automatic;
    std::string_view mode = value.get();
    if (mode == "always") return ClasspathJarMode::always;
    if (mode == "never") return ClasspathJarMode::never;
    return ClasspathJarMode::automatic;
}

constexpr int kManifestLineBytes = 70;

void appendByte(int* lineBytes, ManifestText* manifest, char byte) {
    size_t needed = *lineBytes == kManifestLineBytes ? 4 : 1;
    // The buffer is sized for the worst case; running past it would be a bug.
    if (manifest->length + needed >= manifest->capacity) {
        log_write(TS_FATAL, "Classpath manifest overflow");
        fatal_error_kill(1);
    }
    if (*lineBytes == kManifestLineBytes) {
        memcpy(manifest->data + manifest->length, "\r\n ", 3);
        manifest->length += 3;
        *lineBytes = 1;
    }
    manifest->data[manifest->length++] = byte;
    manifest->data[manifest->length] = '\0';
    ++*lineBytes;
}

void appendUnfolded(ManifestText* manifest, std::string_view text) {
    memcpy(manifest->data + manifest->length, text.data(), text.size());
    manifest->length += text.size();
    manifest->data[manifest->length] = '\0';
}

// One class path element as a Class-Path entry, followed by its blank.
void appendClasspathEntry(int* lineBytes, ManifestText* manifest, std::string_view element, bool driveLetterPaths) {
    if (driveLetterPaths && element.size() > 2 && element[1] == ':') strncat72(lineBytes, manifest, "/", 1);
    for (char byte : element) {
        if (byte == ' ') {
            strncat72(lineBytes, manifest, "%20", 3);
        } else {
            char copy = byte == '\\' ? '/' : byte;
            strncat72(lineBytes, manifest, &copy, 1);
        }
    }
    if (!element.empty() && element.back() != '/' && element.back() != '\\' &&
        isDirectory(std::string(element).c_str())) {
        strncat72(lineBytes, manifest, "/", 1);
    }
    strncat72(lineBytes, manifest, " ", 1);
}

}  // namespace

void strncat72(int* lineBytes, ManifestText* manifest, const char* text, size_t count) {
    for (size_t i = 0; i < count; i++) appendByte(lineBytes, manifest, text[i]);
}

char* generateManifestWith(const char* classpath, char separator, bool driveLetterPaths) {
    std::string_view path = classpath;
    ManifestText manifest;
    manifest.capacity = path.size() * 11 + 100;
    manifest.data = static_cast<char*>(ts_checked_alloc(malloc(manifest.capacity)));
    manifest.length = 0;
    manifest.data[0] = '\0';

    appendUnfolded(&manifest, "Manifest-Version: 1.0\r\n");
    int lineBytes = 0;
    strncat72(&lineBytes, &manifest, "Class-Path: ", 12);
    while (!path.empty()) {
        size_t end = path.find(separator);
        appendClasspathEntry(&lineBytes, &manifest, path.substr(0, end), driveLetterPaths);
        if (end == std::string_view::npos) break;
        path.remove_prefix(end + 1);
    }
    appendUnfolded(&manifest, "\r\n\r\n");
    return manifest.data;
}

char* generateManifest(const char* classpath) {
    return generateManifestWith(classpath, TS_PATH_SEPARATOR, TS_DRIVE_LETTER_PATHS);
}

char* generateClasspathJar(const char* classpath) {
    HeapString manifest(generateManifest(classpath));
    auto* name = static_cast<char*>(ts_checked_alloc(malloc(64)));
    snprintf(name, 64, "tarsil-classpath-%ld.jar", getPid());
    fileDelete(name);
    const ZipMember members[] = {
        {"META-INF/", nullptr, 0},
        {"META-INF/MANIFEST.MF", manifest.get(), strlen(manifest.get())},
    };
    if (!zip_write_stored(name, members, std::size(members))) {
        free(name);
        return nullptr;
    }
    log_write(TS_INFO, "generated classpath jar: %s\n%s", name, manifest.get());
    return name;
}

char* preprocessClasspath(jvmtiEnv* jvmti, char** argv, int argc) {
    ClasspathJarMode mode = classpathJarMode(jvmti);
    if (mode == ClasspathJarMode::never) return nullptr;
    size_t total = std::accumulate(argv, argv + argc, size_t{0},
                                   [](size_t sum, const char* arg) { return sum + strlen(arg); });
    if (mode == ClasspathJarMode::automatic && total <= TS_CLASSPATH_JAR_THRESHOLD) return nullptr;
    for (int i = 0; i + 1 < argc; i++) {
        std::string_view arg = argv[i];
        if (arg != "-cp" && arg != "-classpath") continue;
        if (char* jar = generateClasspathJar(argv[i + 1])) {
            free(argv[i + 1]);
            argv[i + 1] = jar;
            return jar;
        }
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// The cache lookup and the generation

const char* generate(jvmtiEnv* jvmti, const char* agentJarPath, const char* outputPath) {
    int argc = 0;
    char** argv = getBootstrapBuildArguments(jvmti, agentJarPath, outputPath, &argc);
    const char* classpathJar = preprocessClasspath(jvmti, argv, argc);
    execAndReadStdOut2(argc, argv, 4096, 1, nullptr);
    if (classpathJar != nullptr) fileDelete(classpathJar);
    freeBootstrapBuildArguments(argc, argv);
    return outputPath;
}

char* getBootstrapJarPathFor(jvmtiEnv* jvmti, const JarInfo* jarInfo) {
    const char* folder = getBootstrapFolder(jvmti);
    char hash[33];
    getRuntimeHash(jvmti, jarInfo, hash);
    log_write(TS_DEBUG, "Checking bootcache for %s", hash);

    char* cached = formatHeap("%starsil-bootstrap-%s.jar", folder, hash);
    if (fileExists(cached)) {
        log_write(TS_DEBUG, "Bootstrap jar found from bootcache: %s", cached);
        return cached;
    }

    HeapString temporary(formatHeap("%starsil-bootstrap-%.20s-%05lx.tmp.jar", folder, hash, getPid()));
    log_write(TS_DEBUG, "No cached bootstrap jar, generating new one to: %s", temporary.get());
    generate(jvmti, jarInfo->path, temporary.get());

    if (fileExists(cached)) {
        log_write(TS_DEBUG, "Someone else finished bootstrap generation before us");
        remove(temporary.get());
    } else {
        log_write(TS_DEBUG, "Renaming generated bootstrap to %s", cached);
        renameFile(temporary.get(), cached);
    }
    return cached;
}
