// Host introspection and file helpers: where the agent library was loaded
// from, the JVM's command line, and the few file operations the agent needs.
// Each operating system has its own implementation file.
#pragma once

#include <cstddef>
#include <cstdint>

char* getPathToLoadedLibrary(const void* addressInLibrary);
char* getDirName(const char* path);
int fileExists(const char* path);
int isDirectory(const char* path);
int fileDelete(const char* path);
int renameFile(const char* oldPath, const char* newPath);
// The process's working directory as a new heap string, or null.
char* getWorkingDirectory();
// The Java executable under java.home ("bin/java"; on Windows
// "bin\\javaw.exe" when it exists, which opens no console window, else
// "bin\\java.exe"); a new heap string.
char* getJavaExecutable(const char* javaHome);
// This process's id.
long getPid();

// The JVM process's arguments. Release them with freeCommandLineArguments,
// which knows whether the platform handed out copies.
int getCommandLineArguments(int* argc, char*** argv);
void freeCommandLineArguments(int argc, char** argv);
// Whether the process has a class data sharing archive ("classes.jsa")
// mapped; only Linux can tell, elsewhere the answer is 0.
int isClassDataSharingArchiveMapped();

// A file opened by name for reading, only when it is a regular file, and
// never waiting: opening a FIFO waits for a writer, a device may wait or act
// on being opened, and on Windows a pipe's name reaches its server. Every
// file the library opens by name goes through here. Closed when the owner
// goes away.
class RegularFile {
public:
    explicit RegularFile(const char* path);
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;
    ~RegularFile();

    // A descriptor; a HANDLE on Windows. -1 when the file is not open.
    intptr_t handle() const { return handle_; }
    explicit operator bool() const { return handle_ != -1; }
    // Why it is not open: "it does not exist", "it is a FIFO, not a regular
    // file"...; empty when it is.
    const char* problem() const { return problem_; }

private:
    intptr_t handle_ = -1;
    const char* problem_ = "";
};

// A whole file mapped read-only; unmapped when the owner goes away.
class MappedFile {
public:
    MappedFile() = default;
    // The regular file at `path` (see RegularFile); unmapped (false) for
    // anything else.
    explicit MappedFile(const char* path);
    // The file of an open handle (a descriptor; a HANDLE on Windows), which
    // stays the caller's.
    static MappedFile ofHandle(intptr_t handle);
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    ~MappedFile();

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    void unmap();
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
#ifdef _WIN32
    void* handle_ = nullptr;  // the mapping object
#endif
};
