#!/usr/bin/env bash
# Builds vellumark-cli and runs the main job on the bundled demo image: a FAT32 volume that
# was quick-formatted after its documents were written (and some deleted). Recovered
# documents go to build/demo-rescued/, each matched with the original it came from.
set -euo pipefail
cd "$(dirname "$0")/.."

# Only what building the command-line program needs (the tests need far more).
packages=(build-essential cmake pkg-config zlib1g-dev libjpeg62-turbo-dev libewf-dev libdeflate-dev nettle-dev libcli11-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
mkdir -p build
log=build/demo-build.log
: >"$log"
# Runs a step quietly; when it fails, shows what it said.
quietly() {
  if ! "$@" >>"$log" 2>&1; then
    echo "demo: '$*' failed:" >&2
    tail -n 40 "$log" >&2
    exit 1
  fi
}
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing ${missing[*]} ..."
  quietly $SUDO apt-get update -qq
  quietly env DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "Building vellumark-cli (output in $log) ..."
quietly cmake -S . -B build/demo-tree -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLUMARK_TESTS=OFF -DVELLUMARK_BENCH=OFF -DVELLUMARK_GUI=OFF
quietly cmake --build build/demo-tree -j"$(nproc)" --target vellumark-cli
cli=build/demo-tree/vellumark-cli

gunzip -c demo/demo.img.gz > build/demo.img
rm -rf build/demo-rescued && mkdir -p build/demo-rescued

echo
echo "== The source =="
"$cli" info build/demo.img
echo
echo "== Rescue =="
"$cli" rescue build/demo.img -o build/demo-rescued
echo
echo "== Recovered into build/demo-rescued, matched with the documents that were on the volume =="
corpus=tests/data/corpus
manifest=$corpus/MANIFEST.tsv

# The original that `file` is, byte for byte or followed only by zeros (the rest of its last
# sector, for a package whose length the rescue could not learn).
describe() {
  local file=$1 size sum name osize pad
  size=$(stat -c %s "$file")
  sum=$(sha256sum "$file" | cut -d' ' -f1)
  name=$(awk -F'\t' -v s="$sum" '$4 == s { print $1; exit }' "$manifest")
  if [ -n "$name" ]; then
    echo "matches $name"
    return
  fi
  while IFS=$'\t' read -r name _ osize _; do
    [ "$name" = name ] && continue
    [ "$osize" -lt "$size" ] && [ -f "$corpus/$name" ] || continue
    cmp -s -n "$osize" "$corpus/$name" "$file" || continue
    if [ "$(tail -c +"$((osize + 1))" "$file" | tr -d '\0' | wc -c)" -eq 0 ]; then
      pad=$((size - osize))
      echo "matches $name plus $pad bytes of sector padding"
      return
    fi
  done <"$manifest"
  echo "(differs from every original)"
}

for f in build/demo-rescued/*; do
  case $(basename "$f") in report*.xml | rescue*.log) continue ;; esac
  printf '%-40s %8s bytes  %s\n' "$(basename "$f" | cut -c1-40)" "$(stat -c %s "$f")" "$(describe "$f")"
done
echo
echo "Where each file came from on the image, with its SHA-256: build/demo-rescued/report.xml"
if [ -x build/vellumark ]; then
  echo
  echo "The desktop program opens the same image: build/vellumark --no-elevate, then \"Open IMG file\" and build/demo.img"
fi
