// The -@ option of the commands that read or write BGZF: the number of
// additional threads that deflate and inflate blocks (0, the default: none,
// everything happens on the command's own thread as it always has).
#pragma once

#include <memory>

#include "bam/sam.h"
#include "io/bgzf.h"
#include "io/thread_pool.h"

struct command_threads {
    int count = 0;
    std::unique_ptr<thread_pool> pool;

    // Takes the option's value; prints a message naming `command` and returns
    // false unless it is a whole number from 0 to 1024.
    bool parse(const char* command, const char* text);
    // Lets the stream use the workers (started on first use).  A stream that
    // cannot take them stays single-threaded; its output is the same.
    void attach(BGZF* fp);
    // The pool, started on first use; null with no -@ (or none could start).
    thread_pool* get();
    void attach(samfile_t* fp);  // BAM streams only; SAM text is left alone
};
