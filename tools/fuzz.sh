#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each in turn
# for FUZZ_SECONDS (default 180), starting from its committed corpus. Inputs
# found to be interesting stay in build/fuzz/work/<target>/new and carry over
# to the next run; with FUZZ_MERGE=1 those adding coverage are merged into
# core/fuzz/corpus/<target>/. Every crash, leak, timeout or out-of-memory
# input is copied to core/fuzz/regressions/<target>/, which the ordinary test
# run replays, and the script fails.
#
# Usage: tools/fuzz.sh [venv]; FUZZ_TARGETS="cbor_decode ..." runs a subset.
set -euo pipefail

venv=${1:-.venv}
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${FUZZ_SECONDS:-180}
build=build/fuzz

tools/bootstrap-fuzz.sh
"$venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$here/$venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 \
  -DCMAKE_CXX_FLAGS="-stdlib=libc++" -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_FUZZERS=ON >/dev/null
"$venv/bin/cmake" --build "$build" -j "${JOBS:-2}"

found=()
while read -r name max_len; do
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $name "* ]]; then continue; fi
  bin=$build/core/fuzz/fuzz_$name
  corpus=core/fuzz/corpus/$name
  regressions=core/fuzz/regressions/$name
  work=$build/work/$name
  rm -rf "$work/artifacts"
  mkdir -p "$work/new" "$work/artifacts"
  dirs=("$work/new" "$corpus")
  [ -d "$regressions" ] && dirs+=("$regressions")

  echo "fuzz: $name for ${seconds}s, inputs up to $max_len bytes (log: $work/log)"
  status=0
  "$bin" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 -timeout=25 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "${dirs[@]}" >"$work/log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|average_exec_per_sec)|^SUMMARY' "$work/log" || true

  for artifact in "$work"/artifacts/*; do
    [ -e "$artifact" ] || continue
    mkdir -p "$regressions"
    cp "$artifact" "$regressions/"
    found+=("$regressions/$(basename "$artifact")")
  done
  if [ "$status" -ne 0 ] && [ ${#found[@]} -eq 0 ]; then
    echo "fuzz: $name exited with status $status and left no input; see $work/log" >&2
    exit 1
  fi

  if [ "${FUZZ_MERGE:-0}" = 1 ]; then
    "$bin" -merge=1 -max_len="$max_len" -rss_limit_mb=2048 "$corpus" "$work/new" >"$work/merge.log" 2>&1
    echo "fuzz: $name corpus now $(find "$corpus" -type f | wc -l) files"
  fi
done <"$build/fuzz_targets.txt"

if ((${#found[@]})); then
  echo "fuzz: inputs that broke a target, now replayed by the tests:" >&2
  printf '  %s\n' "${found[@]}" >&2
  exit 1
fi
