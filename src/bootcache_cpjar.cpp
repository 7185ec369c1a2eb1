// The classpath jar that stands in for a class path too long for a command
// line: a jar whose manifest's Class-Path lists the class path's entries.
#include "bootcache_cpjar.h"

#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <string_view>

#include "agent_util.h"
#include "bootcache_files.h"
#include "fileutils.h"
#include "list.h"
#include "logging.h"
#include "platform.h"
#include "zip.h"

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

bool isAbsolute(std::string_view path, bool driveLetterPaths) {
    if (driveLetterPaths) {
        return (path.size() > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
               path.starts_with("\\\\");
    }
    return path.starts_with('/');
}

bool isUrlSafe(char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
           byte == '-' || byte == '.' || byte == '_' || byte == '~' || byte == '/' || byte == ':';
}

// One class path element as a Class-Path entry: an absolute file: URL,
// every byte but the plainest percent-encoded, so that blanks, '%', '#' and
// non-ASCII names reach the same file. Folders end with '/'.
void appendClasspathEntry(std::string* entries, std::string_view element, bool driveLetterPaths,
                          std::string_view workingDirectory) {
    if (!element.empty()) {
        std::string path(element);
        if (!isAbsolute(element, driveLetterPaths)) {
            path = std::string(workingDirectory);
            if (!path.empty() && path.back() != '/' && path.back() != '\\') path += driveLetterPaths ? '\\' : '/';
            path += element;
        }
        std::string url = "file:";
        if (driveLetterPaths && path.size() > 1 && path[1] == ':') url += '/';
        for (char byte : path) {
            char c = byte == '\\' && driveLetterPaths ? '/' : byte;
            if (isUrlSafe(c)) {
                url += c;
            } else {
                static const char hex[] = "0123456789ABCDEF";
                auto value = static_cast<unsigned char>(c);
                url += '%';
                url += hex[value >> 4];
                url += hex[value & 0xf];
            }
        }
        if (url.back() != '/' && isDirectory(path.c_str())) url += '/';
        *entries += url;
    }
    *entries += ' ';
}

}  // namespace

void appendFoldedTo72(int* lineBytes, ManifestText* manifest, const char* text, size_t count) {
    for (size_t i = 0; i < count; i++) appendByte(lineBytes, manifest, text[i]);
}

char* generateManifestWith(const char* classpath, char separator, bool driveLetterPaths,
                           const char* workingDirectory) {
    std::string entries;
    for (std::string_view path = classpath;;) {
        size_t end = path.find(separator);
        appendClasspathEntry(&entries, path.substr(0, end), driveLetterPaths, workingDirectory);
        if (end == std::string_view::npos) break;
        path.remove_prefix(end + 1);
    }
    ManifestText manifest;
    // Folding adds three bytes to every 69.
    manifest.capacity = entries.size() * 2 + 100;
    manifest.data = static_cast<char*>(ts_checked_alloc(malloc(manifest.capacity)));
    manifest.length = 0;
    manifest.data[0] = '\0';

    appendUnfolded(&manifest, "Manifest-Version: 1.0\r\n");
    int lineBytes = 0;
    appendFoldedTo72(&lineBytes, &manifest, "Class-Path: ", 12);
    appendFoldedTo72(&lineBytes, &manifest, entries.data(), entries.size());
    appendUnfolded(&manifest, "\r\n\r\n");
    return manifest.data;
}

char* generateManifest(const char* classpath) {
    HeapString workingDirectory(getWorkingDirectory());
    return generateManifestWith(classpath, TS_PATH_SEPARATOR, TS_DRIVE_LETTER_PATHS,
                                workingDirectory ? workingDirectory.get() : "");
}

char* generateClasspathJar(const char* classpath, const BootFolder& folder, const char* name) {
    HeapString manifest(generateManifest(classpath));
    const ZipMember members[] = {
        {"META-INF/", nullptr, 0},
        {"META-INF/MANIFEST.MF", manifest.get(), strlen(manifest.get())},
    };
    std::string archive;
    // Written through the folder, exclusively and private to the user: the
    // class path may be worth hiding, and nobody may swap the jar before the
    // child reads it (by a path of the walked folder, which cannot be
    // redirected).
    if (!zip_write_stored(&archive, members, std::size(members)) || !createBootFile(folder, name, archive)) return nullptr;
    std::string path = folder.path + name;
    log_write(TS_INFO, "generated classpath jar: %s\n%s", path.c_str(), manifest.get());
    return lfts_dup(path.c_str());
}

char* preprocessClasspath(jvmtiEnv* jvmti, char** argv, int argc, const BootFolder& folder, const char* name,
                          bool lengthLimited) {
    ClasspathJarMode mode = classpathJarMode(jvmti);
    if (mode == ClasspathJarMode::never || (!lengthLimited && mode != ClasspathJarMode::always)) return nullptr;
    size_t total = std::accumulate(argv, argv + argc, size_t{0},
                                   [](size_t sum, const char* arg) { return sum + strlen(arg); });
    if (mode == ClasspathJarMode::automatic && total <= TS_CLASSPATH_JAR_THRESHOLD) return nullptr;
    for (int i = 0; i + 1 < argc; i++) {
        std::string_view arg = argv[i];
        if (arg != "-cp" && arg != "-classpath") continue;
        if (char* jar = generateClasspathJar(argv[i + 1], folder, name)) {
            free(argv[i + 1]);
            argv[i + 1] = jar;
            return jar;
        }
    }
    return nullptr;
}
