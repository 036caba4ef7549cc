// Fuzz input as a file: a memory-backed descriptor holding the bytes, and a
// path to it that any open call accepts.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

// Returns the descriptor (-1 on failure) and writes its path into `path`.
inline int fuzz_memory_file(const uint8_t* data, size_t size, char (&path)[64]) {
    int fd = memfd_create("fuzz", 0);
    if (fd < 0) return -1;
    if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return -1;
    }
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    return fd;
}
