#!/usr/bin/env bash
# Builds Vellumark and runs the main job on the bundled demo image: a FAT32 volume that was
# quick-formatted after its documents were written (and some deleted). Recovered documents
# go to build/demo-rescued/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target vellumark-cli
# The desktop program too, when Qt 6 was found.
if cmake --build build --target help | grep -qx '\.\.\. vellumark'; then
  cmake --build build -j"$(nproc)" --target vellumark
fi

gunzip -c demo/demo.img.gz > build/demo.img
rm -rf build/demo-rescued && mkdir -p build/demo-rescued

echo "== The source =="
build/vellumark-cli info build/demo.img
echo
echo "== Rescue =="
build/vellumark-cli rescue build/demo.img -o build/demo-rescued
echo
echo "== Recovered into build/demo-rescued, matched with the documents that were on the volume =="
manifest=tests/data/corpus/MANIFEST.tsv
for f in build/demo-rescued/*; do
  sum=$(sha256sum "$f" | cut -d' ' -f1)
  original=$(awk -F'\t' -v s="$sum" '$4 == s { print $1 }' "$manifest")
  printf '%-28s %8s bytes  %s\n' "$(basename "$f")" "$(stat -c %s "$f")" "${original:-(differs from every original)}"
done
if [ -x build/vellumark ]; then
  echo
  echo "The desktop program opens the same image: build/vellumark --no-elevate, then \"Open IMG file\" and build/demo.img"
fi
