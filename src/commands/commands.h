// The entry function of every command: each takes the arguments from the
// command name on, parses its own options, runs to completion and returns
// the process exit status.  One file per command in this folder.
#pragma once

int main_samview(int argc, char* argv[]);   // view
int main_import(int argc, char* argv[]);    // import
int main_bam2fq(int argc, char* argv[]);    // bam2fq
int bam_sort(int argc, char* argv[]);       // sort
int bam_merge(int argc, char* argv[]);      // merge
int bam_index(int argc, char* argv[]);      // index
int bam_idxstats(int argc, char* argv[]);   // idxstats
int faidx_main(int argc, char* argv[]);     // faidx
int main_cat(int argc, char* argv[]);       // cat
int main_reheader(int argc, char* argv[]);  // reheader
int main_depth(int argc, char* argv[]);     // depth
int bam_mating(int argc, char* argv[]);     // fixmate
int bam_flagstat(int argc, char* argv[]);   // flagstat
int bam_rmdup(int argc, char* argv[]);      // rmdup
int bam_fillmd(int argc, char* argv[]);     // calmd, fillmd
int main_cut_target(int argc, char* argv[]);  // targetcut
int main_phase(int argc, char* argv[]);       // phase
int bam_tview_main(int argc, char* argv[]);  // tview
int bam_mpileup(int argc, char* argv[]);    // mpileup
int main_bcfcat(int argc, char* argv[]);    // bcfcat
