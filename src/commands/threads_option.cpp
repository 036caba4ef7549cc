#include "commands/threads_option.h"

#include <cstdio>
#include <cstdlib>

bool command_threads::parse(const char* command, const char* text) {
    char* end = nullptr;
    long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < 0 || n > 1024) {
        std::fprintf(stderr, "[%s] -@ takes a number of threads from 0 to 1024, not \"%s\".\n", command, text);
        return false;
    }
    count = static_cast<int>(n);
    return true;
}

thread_pool* command_threads::get() {
    if (count == 0) return nullptr;
    if (!pool) pool = std::make_unique<thread_pool>(count);
    return pool->size() > 0 ? pool.get() : nullptr;
}

void command_threads::attach(BGZF* fp) {
    if (fp && get()) bgzf_set_pool(fp, pool.get());
}

void command_threads::attach(samfile_t* fp) {
    if (fp && (fp->type & TYPE_BAM)) attach(fp->x.bam);
}
