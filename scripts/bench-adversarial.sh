#!/usr/bin/env bash
# Rescue time and peak memory on images made to slow the second pass down (see
# make-adversarial-image.py), at several sizes, next to a noise-only image of the same size:
# the time should grow with the image, not with candidates times carve length.
#   scripts/bench-adversarial.sh [CLI] [SIZES_MIB...]
# CLI defaults to build/vellumark-cli, the sizes to 8 32 256. Images are made in
# ${TMPDIR:-/tmp} and deleted afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
cli=${1:-build/vellumark-cli}
shift || true
sizes=("$@")
(( ${#sizes[@]} )) || sizes=(8 32 256)
[[ -x $cli ]] || { echo "no $cli: build it first" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vellumark-adversarial-XXXXXX")
trap 'rm -rf "$work"' EXIT

for size in "${sizes[@]}"; do
  for kind in noise ooxml zipchain storedchain ole2 mixed; do
    img=$work/$kind.img
    python3 scripts/make-adversarial-image.py "$kind" "$size" "$img"
    cat "$img" >/dev/null
    rm -rf "$work/out" && mkdir "$work/out"
    /usr/bin/time -v "$cli" rescue "$img" -o "$work/out" --quiet >/dev/null 2>"$work/time.txt" || true
    awk -v what="$kind $size MiB" -F': ' '
      /Elapsed \(wall clock\)/ { n = split($2, p, ":"); wall = (n == 3 ? p[1] * 3600 + p[2] * 60 + p[3] : p[1] * 60 + p[2]) }
      /User time/ { user = $2 } /System time/ { sys = $2 } /Maximum resident/ { peak = $2 }
      END { printf "%-18s wall %7.2f s  user %6.2f s  system %6.2f s  peak %8d KiB\n", what, wall, user, sys, peak }' "$work/time.txt"
    rm -f "$img"
  done
done
