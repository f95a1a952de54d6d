#!/usr/bin/env bash
# Rebuilds demo/demo.img.gz: a 40 MiB FAT32 volume that held a dozen Office documents, some
# deleted, and was then quick-formatted again, so that no directory entry points to them.
# Usage: scripts/make-demo-image.sh [CORPUS_DIR]   (default: tests/data/corpus)
set -euo pipefail
cd "$(dirname "$0")/.."
corpus="${1:-tests/data/corpus}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
img="$work/demo.img"

truncate -s 40M "$img"
mkfs.vfat -F 32 -s 1 -i 56454C4D -n VELLUMDEMO "$img" >/dev/null
export MTOOLS_SKIP_CHECK=1

keep=(test2.doc simple-list.doc 46445.xls Themes2.xls 42474-1.ppt WithComments.ppt
      Bug54771b.docx TestPackageCommon.docx 50096.xlsx protect.xlsx bar-chart.pptx)
drop=(pageref.doc countblankExamples.xls backgrounds.ppt stress001.docx 56170.xlsx)

mmd -i "$img" ::/Reports ::/Old
for f in "${keep[@]}"; do mcopy -i "$img" "$corpus/$f" ::/Reports/; done
for f in "${drop[@]}"; do mcopy -i "$img" "$corpus/$f" ::/Old/; done
for f in "${drop[@]}"; do mdel -i "$img" "::/Old/$f"; done
# The accident: the volume is formatted again. Data stays, the directories are gone.
mkfs.vfat -F 32 -s 1 -i 56454C4D -n VELLUMDEMO "$img" >/dev/null

gzip -9 -n -c "$img" > demo/demo.img.gz
printf '%s\n' "${keep[@]}" "${drop[@]}" | sort > demo/expected-documents.txt
echo "demo/demo.img.gz: $(stat -c %s demo/demo.img.gz) bytes"
