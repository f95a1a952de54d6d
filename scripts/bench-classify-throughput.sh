#!/usr/bin/env bash
# Compares `vellumark-cli classify --quiet` with `dd bs=64K` on the same page-cached image.
#
#   scripts/bench-classify-throughput.sh [IMAGE] [SIZE_MIB]
#
# IMAGE defaults to a fresh file in /tmp, SIZE_MIB to 1024. An image made here is deleted
# afterwards; a given image that already exists is used as it is and kept. VELLUMARK_CLI
# names a built CLI; otherwise the CLI is built in build/.
set -euo pipefail
cd "$(dirname "$0")/.."

size_mib=${2:-1024}
made_image=0
if [[ $# -ge 1 ]]; then
  image=$1
else
  image=$(mktemp /tmp/vellumark-classify-bench.XXXXXX.img)
fi
cleanup() { if [[ $made_image == 1 ]]; then rm -f "$image"; fi; }
trap cleanup EXIT

cli=${VELLUMARK_CLI:-}
if [[ -z $cli ]]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j2 --target vellumark-cli >/dev/null
  cli=build/vellumark-cli
fi

if [[ ! -s $image ]]; then
  made_image=1
  echo "Making a ${size_mib} MiB image of mixed data in $image ..." >&2
  # Mostly random data, with stretches of zeros and of repeated text in between.
  : >"$image"
  for ((i = 0; i < size_mib; i += 16)); do
    case $((i / 16 % 4)) in
      0 | 1) head -c 16M /dev/urandom >>"$image" ;;
      2) head -c 16M /dev/zero >>"$image" ;;
      3) head -c 16M < <(yes 'Vellumark throughput sample line of ordinary text') >>"$image" ;;
    esac
  done
fi

bytes=$(stat -c %s "$image")
# Read once so both runs see the page cache.
cat "$image" >/dev/null

now() { date +%s.%N; }
rate() { awk -v b="$bytes" -v t="$1" 'BEGIN { printf "%.1f", b / t / 1e6 }'; }

t0=$(now)
dd if="$image" of=/dev/null bs=64K status=none
t1=$(now)
"$cli" classify "$image" --quiet >/dev/null
t2=$(now)

dd_secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
cl_secs=$(awk -v a="$t1" -v b="$t2" 'BEGIN { print b - a }')
dd_rate=$(rate "$dd_secs")
cl_rate=$(rate "$cl_secs")
ratio=$(awk -v c="$cl_rate" -v d="$dd_rate" 'BEGIN { printf "%.2f", c / d }')

echo "image:    $image ($((bytes / 1048576)) MiB)"
echo "dd 64K:   ${dd_rate} MB/s (${dd_secs} s)"
echo "classify: ${cl_rate} MB/s (${cl_secs} s)"
echo "ratio:    ${ratio} x dd"
