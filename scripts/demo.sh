#!/usr/bin/env bash
# Builds what the demo runs (alnkit, the alnsim generator and the SAM text
# benchmark), generates a small reference and read set in demo/, and runs the
# main job on it: SAM converted to BAM, indexed, and queried by region, with
# counts; the FASTA indexed and a region extracted; and the SAM text speed
# check.  The build is the one scripts/test.sh uses, so the tests reuse it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DALNKIT_BENCH=ON >/dev/null
cmake --build build -j"$(nproc)" --target alnkit alnsim bench_sam
mkdir -p demo
build/alnsim --seed 7 --refs 4 --ref-len 200000 --records 200000 --sorted --fasta demo/ref.fa --sam demo/reads.sam
echo "demo: generated demo/ref.fa and demo/reads.sam ($(grep -vc '^@' demo/reads.sam) records)"
build/alnkit view -bS -o demo/reads.bam demo/reads.sam
build/alnkit index demo/reads.bam
echo "demo: records per reference (name, length, mapped, unmapped):"
build/alnkit idxstats demo/reads.bam
echo "demo: records overlapping chr2:100,001-100,200: $(build/alnkit view -c demo/reads.bam chr2:100,001-100,200)"
echo "demo: properly paired, non-duplicate, MAPQ >= 30: $(build/alnkit view -c -f 0x2 -F 0x400 -q 30 demo/reads.bam)"
# The region goes to a file first: a pipe into head would close early and end
# alnkit with a broken pipe.
build/alnkit view -o demo/region.sam demo/reads.bam chr2:100,001-100,200
echo "demo: the first records of chr2:100,001-100,200 (all $(wc -l <demo/region.sam) in demo/region.sam):"
head -n 3 demo/region.sam | cut -c 1-120
build/alnkit faidx demo/ref.fa
echo "demo: chr2:100,001-100,120 of the reference:"
build/alnkit faidx demo/ref.fa chr2:100,001-100,120
build/bench/bench_sam demo/reads.sam 3
echo "demo: done"
