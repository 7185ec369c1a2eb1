// Whole-file reads with POSIX descriptors.
#include "readfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

uint8_t* readWholeFile(const char* path, size_t* size) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer; it changes nothing for a regular file.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    uint8_t* data = readWholeHandle(fd, size);
    close(fd);
    return data;
}

uint8_t* readWholeHandle(intptr_t handle, size_t* size) {
    int fd = static_cast<int>(handle);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return nullptr;
    size_t expected = static_cast<size_t>(st.st_size);
    auto* data = static_cast<uint8_t*>(malloc(expected));
    size_t done = 0;
    while (data != nullptr && done < expected) {
        ssize_t n = pread(fd, data + done, expected - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // an error, or a file cut short meanwhile
        done += static_cast<size_t>(n);
    }
    if (data == nullptr || done == 0) {
        free(data);
        return nullptr;
    }
    *size = done;
    return data;
}

FileRead readRegularFile(const char* path, std::string* text) {
    text->clear();
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer, and
    // is then refused by its type.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? FileRead::missing : FileRead::unreadable;
    struct stat st;
    FileRead result = FileRead::ok;
    if (fstat(fd, &st) != 0) {
        result = FileRead::unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        result = FileRead::notRegular;
    } else if (st.st_uid != geteuid() && st.st_uid != 0) {
        result = FileRead::foreignOwner;
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        result = FileRead::othersMayWrite;
    }
    char buffer[16384];
    while (result == FileRead::ok) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) result = FileRead::unreadable;
        if (n <= 0) break;
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return result;
}
