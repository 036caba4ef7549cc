#!/usr/bin/env bash
# Wall time of mpileup -g -f as one run against the sharded Snakemake
# workflow (workflows/) with --cores N, on two generated samples; prints the
# per-shard cost and the join cost from the workflow's benchmark files.
#
# Usage: bench/workflow_bench.sh [ALNKIT [ALNSIM [CORES [REF_LEN [SHARD_SIZE]]]]]
#   defaults: build/alnkit build/alnsim 2 1000000 250000 (three references)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
alnkit=$(realpath "${1:-$here/build/alnkit}")
alnsim=$(realpath "${2:-$here/build/alnsim}")
cores=${3:-2} ref_len=${4:-1000000} shard=${5:-250000}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "workflow_bench: $1" >&2; [ -f "$dir/snakemake.log" ] && tail -20 "$dir/snakemake.log" >&2; exit 1; }
cd "$dir"
for s in S1 S2; do
  "$alnsim" --diploid --seed 41 --sample $s --refs 3 --ref-len "$ref_len" --depth 30 --fasta ref.fa --sam $s.sam
  "$alnkit" view -bS -o $s.bam $s.sam 2> /dev/null
  "$alnkit" index $s.bam
  rm $s.sam
done
"$alnkit" faidx ref.fa
records=$(for s in S1 S2; do "$alnkit" idxstats $s.bam; done | awk '{n += $3 + $4} END {print n}')
echo "data: 2 samples, $(awk '{l += $2} END {print l}' ref.fa.fai) bp, $records records; load before: $(cut -d' ' -f1-3 /proc/loadavg)"

now() { date +%s.%N; }
t0=$(now)
"$alnkit" mpileup -g -f ref.fa S1.bam S2.bam > single.bcf 2> single.log || fail "mpileup failed: $(tail -1 single.log)"
t1=$(now)
cat > config.yaml << EOC
alnkit: $alnkit
bams: [S1.bam, S2.bam]
reference: ref.fa
shard_size: $shard
outdir: out
EOC
snakemake -s "$here/workflows/Snakefile" --configfile config.yaml --cores "$cores" out/calls.bcf > snakemake.log 2>&1 || fail "snakemake failed"
t2=$(now)
cmp <(gzip -dc single.bcf) <(gzip -dc out/calls.bcf) || { echo "joined BCF differs from the single run" >&2; exit 1; }
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
awk -v a="$t0" -v b="$t1" -v c="$t2" -v cores="$cores" 'BEGIN {
  printf "single run mpileup -g -f: %.1f s\nworkflow --cores %d (calls only): %.1f s; speed-up %.2f\n", b - a, cores, c - b, (b - a) / (c - b) }'
# Benchmark files: a header line, then s, h:m:s, max_rss, ... per job.
awk 'FNR == 2 {n++; s += $1; if ($1 > max) max = $1; if (min == "" || $1 < min) min = $1}
     END {printf "shards: %d; per shard %.1f s mean, %.1f min, %.1f max; sum %.1f s\n", n, s / n, min, max, s}' out/benchmarks/calls/*.tsv
awk 'FNR == 2 {printf "join (bcfcat): %.2f s\n", $1}' out/benchmarks/join_calls.tsv
ls -l single.bcf out/calls.bcf | awk '{print $5, $9}'
