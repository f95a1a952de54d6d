#!/usr/bin/env bash
# Writes two images for timing the rescue of fragmented documents: the test layouts
# (documents cut by junk, written round robin with pictures and other documents, in pieces
# out of order; 4 KiB clusters) repeated up to SIZE_MIB, and the same files as many times
# over, each in one piece.
#   scripts/make-fragment-images.sh DIR [SIZE_MIB] [TEST_BINARY]
# SIZE_MIB defaults to 1024; the images are DIR/fragmented.img and DIR/contiguous.img.
# Rescue them with --cluster 4K. Needs the corpus documents and ImageMagick, as the test does.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?usage: make-fragment-images.sh DIR [SIZE_MIB] [TEST_BINARY]}
size=${2:-1024}
bin=${3:-build/tests/fragmented_documents_test}
[[ -x $bin ]] || { echo "no $bin: build it first" >&2; exit 1; }
mkdir -p "$dir"
VELLUMARK_LAYOUT_IMAGE_DIR=$dir VELLUMARK_LAYOUT_IMAGE_MIB=$size \
  "$bin" --gtest_also_run_disabled_tests --gtest_filter='*DISABLED_WriteLargeImages' >/dev/null
ls -l "$dir/fragmented.img" "$dir/contiguous.img"
