// The view command (SAM/BAM conversion and filtering), and the import and
// bam2fq commands beside it.
#pragma once

int main_samview(int argc, char* argv[]);
int main_import(int argc, char* argv[]);
int main_bam2fq(int argc, char* argv[]);
