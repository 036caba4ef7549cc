// import: SAM with a reference list to BAM, a fixed form of view.
#include "commands/commands.h"

#include <unistd.h>

#include <cstdio>
#include <vector>

#include "commands/threads_option.h"

int main_import(int argc, char* argv[]) {
    command_threads threads;
    char* threads_text = nullptr;
    int c;
    optind = 0;  // the dispatcher may have used getopt before
    while ((c = getopt(argc, argv, "@:")) >= 0) {
        if (c != '@' || !threads.parse("main_import", optarg)) return 1;
        threads_text = optarg;
    }
    if (argc - optind != 3) {
        std::fprintf(stderr, "Usage: alnkit import <in.ref_list> <in.sam> <out.bam>\n");
        return 1;
    }
    char arg0[] = "import", arg1[] = "-o", arg3[] = "-bt", at[] = "-@";
    std::vector<char*> args = {arg0, arg1, argv[optind + 2], arg3, argv[optind], argv[optind + 1]};
    if (threads_text) args.insert(args.begin() + 1, {at, threads_text});
    args.push_back(nullptr);
    return main_samview(static_cast<int>(args.size()) - 1, args.data());
}
