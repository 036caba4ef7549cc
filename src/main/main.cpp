// Entry point: hands the arguments from the command name on to the command
// named by the first argument and returns its status.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "commands/commands.h"

namespace {

using command_fn = int (*)(int argc, char* argv[]);

int command_pileup_removed(int, char*[]) {
    std::fprintf(stderr, "[main] The `pileup' command has been removed. Please use `mpileup' instead.\n");
    return 1;
}

struct command_entry {
    const char* name;
    command_fn run;
};

// Compared in this order; the first exact match wins.
constexpr command_entry commands[] = {
    {"view", main_samview},
    {"import", main_import},
    {"mpileup", bam_mpileup},
    {"merge", bam_merge},
    {"sort", bam_sort},
    {"index", bam_index},
    {"idxstats", bam_idxstats},
    {"faidx", faidx_main},
    {"fixmate", bam_mating},
    {"rmdup", bam_rmdup},
    {"flagstat", bam_flagstat},
    {"calmd", bam_fillmd},
    {"fillmd", bam_fillmd},
    {"reheader", main_reheader},
    {"cat", main_cat},
    {"bcfcat", main_bcfcat},
    {"targetcut", main_cut_target},
    {"phase", main_phase},
    {"depth", main_depth},
    {"bam2fq", main_bam2fq},
    {"pileup", command_pileup_removed},
    {"tview", bam_tview_main},
};

int usage() {
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "Program: alnkit (Tools for alignments in the SAM format)\n");
    std::fprintf(stderr, "Version: %s\n\n", ALNKIT_VERSION);
    std::fprintf(stderr, "Usage:   alnkit <command> [options]\n\n");
    std::fprintf(stderr,
                 "Command: view        SAM<->BAM conversion\n"
                 "         sort        sort alignment file\n"
                 "         mpileup     multi-way pileup\n"
                 "         depth       compute the depth\n"
                 "         faidx       index/extract FASTA\n"
                 "         tview       text alignment viewer\n"
                 "         index       index alignment\n"
                 "         idxstats    BAM index stats (r595 or later)\n"
                 "         fixmate     fix mate information\n"
                 "         flagstat    simple stats\n"
                 "         calmd       recalculate MD/NM tags and '=' bases\n"
                 "         merge       merge sorted alignments\n"
                 "         rmdup       remove PCR duplicates\n"
                 "         reheader    replace BAM header\n"
                 "         cat         concatenate BAMs\n"
                 "         targetcut   cut fosmid regions (for fosmid pool only)\n"
                 "         phase       phase heterozygotes\n"
                 "         bcfcat      concatenate BCFs with identical headers\n");
    std::fprintf(stderr, "\n");
    return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Past a file-size limit, let writes fail with an error the commands
    // report, instead of the signal ending the process without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader that stops early (`alnkit view x.bam | head`) ends the command
    // quietly through SIGPIPE, even when the parent started us with SIGPIPE
    // ignored or blocked: the write would otherwise fail with EPIPE and be
    // reported as an error.  Sockets of remote files send with MSG_NOSIGNAL.
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigprocmask(SIG_UNBLOCK, &pipe_only, nullptr);
    if (argc < 2) return usage();
    for (const auto& cmd : commands)
        if (std::strcmp(argv[1], cmd.name) == 0) return cmd.run(argc - 1, argv + 1);
    std::fprintf(stderr, "[main] unrecognized command '%s'\n", argv[1]);
    return 1;
}
