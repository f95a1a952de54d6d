#!/usr/bin/env bash
# Throughput of the first pass next to dd reading the same page-cached image.
#   scripts/bench-first-pass.sh [CLI] [SIZE_MIB]
# CLI defaults to build/vellumark-cli, SIZE_MIB to 1024. The image is random data (so the
# second pass has next to nothing to do) and is deleted afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${1:-build/vellumark-cli}
size_mib=${2:-1024}
[[ -x $cli ]] || { echo "no $cli: build it first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vellumark-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
img=$work/random.img
mkdir "$work/out"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$img"
cat "$img" >/dev/null   # into the page cache

now() { date +%s.%N; }
rate() { awk -v mib="$size_mib" -v t="$1" 'BEGIN { printf "%.0f", mib / t }'; }

best_dd=0 best_scan=0
for round in 1 2 3; do
  t0=$(now); dd if="$img" of=/dev/null bs=64K status=none; t1=$(now)
  dd_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
  t0=$(now); "$cli" rescue "$img" -o "$work/out" --quiet >/dev/null; t1=$(now)
  scan_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
  dd_rate=$(rate "$dd_s"); scan_rate=$(rate "$scan_s")
  echo "round $round: dd bs=64K ${dd_rate} MiB/s (${dd_s}s), rescue first pass ${scan_rate} MiB/s (${scan_s}s)"
  (( dd_rate > best_dd )) && best_dd=$dd_rate
  (( scan_rate > best_scan )) && best_scan=$scan_rate
done
echo "best: dd ${best_dd} MiB/s, rescue ${best_scan} MiB/s, ratio $(awk -v a="$best_scan" -v b="$best_dd" 'BEGIN { printf "%.2f", a / b }') (goal >= 0.50)"
