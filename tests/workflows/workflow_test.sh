#!/usr/bin/env bash
# The sharded Snakemake workflow against single runs: on generated data (two
# diploid samples and one generated file with unplaced unmapped reads, three
# references), the joined outputs of a run with 9 shards (`snakemake --cores
# 2`) equal depth, text mpileup, mpileup -g and view -b over the whole
# files: text byte for byte, BCF and BAM after decompression.  Shard
# boundaries fall inside covered sequence, so reads straddle them.
#
# Usage: workflow_test.sh ALNKIT ALNSIM SNAKEFILE
# Exits 77 (skipped) when snakemake is missing, unless
# ALNKIT_REQUIRE_SNAKEMAKE=1, when that is a failure.
set -euo pipefail
alnkit=$1 alnsim=$2 snakefile=$3
if ! command -v snakemake > /dev/null; then
  if [ "${ALNKIT_REQUIRE_SNAKEMAKE:-0}" = 1 ]; then
    echo "workflow_test: snakemake is not installed (scripts/install-deps.sh --workflow installs it)" >&2
    exit 1
  fi
  echo "workflow_test: skipped: snakemake is not installed (scripts/install-deps.sh --workflow installs it)"
  exit 77
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

"$alnsim" --diploid --seed 5 --sample S1 --refs 3 --ref-len 4000 --depth 10 --fasta ref.fa --sam s1.sam
"$alnsim" --diploid --seed 5 --sample S2 --refs 3 --ref-len 4000 --depth 10 --sam s2.sam
"$alnsim" --seed 5 --refs 3 --ref-len 4000 --records 2000 --sorted --sam n.sam
for s in s1 s2 n; do
  "$alnkit" view -bS -o $s.bam $s.sam 2> /dev/null
  "$alnkit" index $s.bam
done
"$alnkit" faidx ref.fa
[ "$(awk '$3 == "*"' n.sam | wc -l)" -gt 0 ] || { echo "workflow_test: no unplaced reads generated" >&2; exit 1; }

bams=(s1.bam s2.bam n.bam)
# n.sam has reads without a read group: one sample per file (-R).
"$alnkit" depth "${bams[@]}" > whole_depth.txt
"$alnkit" mpileup -R -f ref.fa "${bams[@]}" > whole_pileup.txt 2> /dev/null
"$alnkit" mpileup -g -R -f ref.fa "${bams[@]}" > whole_calls.bcf 2> /dev/null
for s in s1 s2 n; do "$alnkit" view -b -o whole_$s.bam $s.bam; done

cat > config.yaml << EOC
alnkit: $alnkit
bams: [s1.bam, s2.bam, n.bam]
reference: ref.fa
shard_size: 1500
outdir: out
mpileup_options: "-R"
EOC
snakemake -s "$snakefile" --configfile config.yaml --cores 2 -q > snakemake.log 2>&1 || {
  cat snakemake.log >&2
  exit 1
}

fail=0
shards=$(ls out/logs/pileup | wc -l)
if [ "$shards" -lt 8 ]; then echo "workflow_test: only $shards shards" >&2; fail=1; fi
# Reads straddle the boundaries (at 1500 on chr1: reads of 100 bases starting in 1451-1500).
straddling=$(awk '$3 == "chr1" && $4 > 1450 && $4 <= 1500' s1.sam | wc -l)
if [ "$straddling" -eq 0 ]; then echo "workflow_test: no read straddles chr1:1500" >&2; fail=1; fi
check() {  # what, want, got
  if ! cmp -s "$2" "$3"; then echo "workflow_test: $1: the joined shards differ from the single run" >&2; fail=1; fi
}
[ -s whole_pileup.txt ] && [ -s whole_depth.txt ] || { echo "workflow_test: empty single runs" >&2; exit 1; }
check depth whole_depth.txt out/depth.txt
check pileup whole_pileup.txt out/pileup.txt
gzip -dc whole_calls.bcf > whole_calls.raw
gzip -dc out/calls.bcf > joined_calls.raw
check calls whole_calls.raw joined_calls.raw
for s in s1 s2 n; do
  gzip -dc whole_$s.bam > whole_$s.raw
  gzip -dc out/bam/$s.bam > joined_$s.raw
  check "view $s" whole_$s.raw joined_$s.raw
done
# The joined BCF and BAM files end with an end-of-file block.
for f in out/calls.bcf out/bam/*.bam; do
  if [ "$(tail -c 28 "$f" | od -An -tx1 | tr -d ' \n')" != "1f8b08040000000000ff0600424302001b0003000000000000000000" ]; then
    echo "workflow_test: $f does not end with an end-of-file block" >&2
    fail=1
  fi
done
[ "$fail" = 0 ] && echo "workflow_test: $shards shards joined equal the single runs"
exit "$fail"
