#!/usr/bin/env bash
# A long fuzzing run of one target, then its source coverage.
#
#   scripts/fuzz.sh TARGET SECONDS      e.g. scripts/fuzz.sh carvers 3600
#
# TARGET is a file fuzz/TARGET_fuzzer.cpp. The run starts from the seeds in
# tests/fuzz/corpus/TARGET/ and from what earlier runs found (build-fuzz/corpus/TARGET/, kept
# between runs); crashing inputs go to build-fuzz/artifacts/TARGET/. Then a build with
# llvm-cov instrumentation replays the whole corpus and writes the coverage report of the
# engine's files (lines, regions, branches) to build-fuzz-cov/coverage/TARGET.txt, and an
# annotated listing to build-fuzz-cov/coverage/TARGET/. Extra libFuzzer options can be given
# in FUZZ_OPTIONS (e.g. FUZZ_OPTIONS=-jobs=2).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ne 2 ] || [ ! -f "fuzz/$1_fuzzer.cpp" ]; then
  echo "usage: $0 TARGET SECONDS (targets: $(cd fuzz && ls *_fuzzer.cpp | sed 's/_fuzzer.cpp//' | tr '\n' ' '))" >&2
  exit 2
fi
target=$1
seconds=$2
jobs=${FUZZ_BUILD_JOBS:-2}

configure() {  # build dir, extra cmake options...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DVELLUMARK_FUZZ=ON \
    -DVELLUMARK_TESTS=OFF -DVELLUMARK_BENCH=OFF "$@" >/dev/null
}

# AddressSanitizer's quarantine of freed memory (256 MiB by default) would count against the
# 512 MiB limit; a smaller one keeps that limit about the parsers' own memory.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64}
# The whole-scan targets write what they recover into a folder under TMPDIR and flush it: in
# memory (/dev/shm) that flush costs nothing, on a disk it costs an eighth of the runs.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

dict_args=()
if [ -f "tests/fuzz/dict/$target.dict" ]; then dict_args=(-dict="tests/fuzz/dict/$target.dict"); fi

configure build-fuzz
cmake --build build-fuzz -j"$jobs" --target "${target}_fuzzer"
corpus=build-fuzz/corpus/$target
artifacts=build-fuzz/artifacts/$target
mkdir -p "$corpus" "$artifacts"
# The first corpus folder receives what the run finds; the seeds are only read.
# shellcheck disable=SC2086
build-fuzz/fuzz/"${target}_fuzzer" "$corpus" "tests/fuzz/corpus/$target" "${dict_args[@]}" \
  -max_total_time="$seconds" -timeout=5 -rss_limit_mb=512 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" ${FUZZ_OPTIONS:-}

configure build-fuzz-cov -DVELLUMARK_FUZZ_COVERAGE=ON
cmake --build build-fuzz-cov -j"$jobs" --target "${target}_fuzzer"
report=build-fuzz-cov/coverage
mkdir -p "$report"
rm -f "$report/$target".*.profraw
LLVM_PROFILE_FILE="$report/$target.%p.profraw" build-fuzz-cov/fuzz/"${target}_fuzzer" -runs=0 -timeout=5 \
  -rss_limit_mb=2048 "$corpus" "tests/fuzz/corpus/$target" >/dev/null 2>&1
llvm-profdata merge -sparse "$report/$target".*.profraw -o "$report/$target.profdata"
rm -f "$report/$target".*.profraw
llvm-cov report build-fuzz-cov/fuzz/"${target}_fuzzer" -instr-profile="$report/$target.profdata" \
  -ignore-filename-regex='(fuzz/|/usr/)' >"$report/$target.txt"
llvm-cov show build-fuzz-cov/fuzz/"${target}_fuzzer" -instr-profile="$report/$target.profdata" \
  -ignore-filename-regex='(fuzz/|/usr/)' -show-branches=count -format=text -output-dir="$report/$target"
echo "coverage of $target: $report/$target.txt"
cat "$report/$target.txt"
