#!/usr/bin/env bash
# Installs what Vellumark needs to build, test and benchmark on Debian 12. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang
  # libFuzzer and the sanitizer runtimes for Clang, and llvm-profdata / llvm-cov for coverage.
  libclang-rt-14-dev llvm
  zlib1g-dev libjpeg62-turbo-dev libewf-dev libdeflate-dev nettle-dev
  libcli11-dev libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev
  # Checks of what the rescue writes and of the package: xmllint for report.xml, man and
  # lexgrog for the man page, lintian for the .deb, dpkg-shlibdeps for its dependencies.
  libxml2-utils man-db lintian dpkg-dev
  # Tools the tests use to make real file systems and real files of many formats.
  dosfstools mtools exfatprogs ntfs-3g sleuthkit e2fsprogs
  # Partition tables and forensic images for the whole-disk tests.
  fdisk gdisk ewf-tools
  # FUSE file systems, to check that the rescue never writes through a mount of its source.
  fusefat
  # GNU ddrescue, to check that its mapfiles of unreadable sectors read back.
  gddrescue
  zip p7zip-full gcab imagemagick ffmpeg xxd ghostscript
  # Reads the compound files the tests write, to prove them well formed.
  python3-olefile
  # The desktop program (Qt 6 Widgets), a CJK font for its Chinese texts, polkit's pkexec for
  # its relaunch with administrator rights, and Xvfb for its screenshots.
  qt6-base-dev qt6-base-dev-tools fonts-noto-cjk pkexec xvfb xauth
  # Print the text of Word documents, to check the first lines this program reads.
  antiword catdoc unzip
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
