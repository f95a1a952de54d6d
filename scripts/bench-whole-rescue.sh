#!/usr/bin/env bash
# A whole rescue of a page-cached random image next to dd reading the same image with 64 KiB
# and 1 MiB blocks; the three commands alternate, ROUNDS times, each under /usr/bin/time -v
# (wall, user and system seconds, peak memory).
#   scripts/bench-whole-rescue.sh [CLI] [SIZE_GIB] [ROUNDS]
# CLI defaults to build/vellumark-cli, SIZE_GIB to 4, ROUNDS to 5. The image is made in
# ${TMPDIR:-/tmp} (check its free space: SIZE_GIB plus a little) and deleted afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${1:-build/vellumark-cli}
size_gib=${2:-4}
rounds=${3:-5}
[[ -x $cli ]] || { echo "no $cli: build it first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vellumark-rescue-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
img=$work/random.img
mkdir "$work/out"
head -c "$((size_gib * 1024 * 1024 * 1024))" /dev/urandom >"$img"
cat "$img" >/dev/null   # into the page cache

measure() {  # NAME COMMAND...: one line of wall/user/system seconds and peak KiB
  local name=$1; shift
  /usr/bin/time -v "$@" >/dev/null 2>"$work/time.txt" || true
  awk -v name="$name" -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, p, ":"); wall = (n == 3 ? p[1] * 3600 + p[2] * 60 + p[3] : p[1] * 60 + p[2]) }
    /User time/ { user = $2 } /System time/ { sys = $2 } /Maximum resident/ { peak = $2 }
    END { printf "%-10s wall %6.2f s  user %5.2f s  system %5.2f s  peak %7d KiB\n", name, wall, user, sys, peak }' "$work/time.txt"
}

for round in $(seq "$rounds"); do
  echo "round $round"
  measure "dd 64K" dd if="$img" of=/dev/null bs=64K status=none
  measure "dd 1M" dd if="$img" of=/dev/null bs=1M status=none
  measure rescue "$cli" rescue "$img" -o "$work/out" --quiet
done
