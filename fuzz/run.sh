#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a while.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
#
# SECONDS per target, default 60. TARGETs are the names of fuzz/*_fuzz.cpp
# without the suffix (conversation, recipients, property_file, variant,
# utf8, tls_filter, socket); default all of them.
#
# The build: a separate configure of the whole project in build-fuzz (or
# $QV_FUZZ_BUILD_DIR) with clang++. fuzz/CMakeLists.txt compiles the library
# there with -fsanitize=fuzzer-no-link,address,undefined (coverage counters and
# both sanitizers, no second main) and links each target with
# -fsanitize=fuzzer,address,undefined. Every UBSan finding is fatal.
#
# The corpus: each target starts from fuzz/corpus/<target>/, which is only
# read. The run works on a scratch copy in fuzz/corpus-work/<target>/
# (ignored by git, emptied at every run), so a run never changes the tree.
# Inputs worth keeping (a crash that was fixed, a case that reaches new code)
# are added to fuzz/corpus/<target>/ by hand and committed.
#
# A crash, a sanitizer report, a leak, a time-out (10 s for one input) or
# running out of memory fails the target. The script runs every target, then
# prints for each failure the saved input (kept in <build>/fuzz-artifacts/)
# and the command that replays it, and exits with 1. For the conversation
# target, QV_FUZZ_TRACE=1 before the replay command prints what the input does.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
if [[ $# -gt 0 ]]; then shift; fi
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
  echo "usage: fuzz/run.sh [SECONDS] [TARGET...]" >&2
  exit 2
fi
build="${QV_FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${QV_JOBS:-2}"

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for source in "$root"/fuzz/*_fuzz.cpp; do
    name="$(basename "$source" .cpp)"
    targets+=("${name%_fuzz}")
  done
fi

# shellcheck source=../scripts/packages.sh
source "$root/scripts/packages.sh"
"$root/scripts/ensure-packages.sh" "${QV_BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

echo "== fuzz: building in $build"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQV_BUILD_FUZZ=ON -DQV_BUILD_TESTS=OFF -DQV_BUILD_APPS=OFF -DQV_BUILD_EXAMPLES=OFF \
  -DQV_BUILD_BENCH=OFF >/dev/null
build_targets=()
for t in "${targets[@]}"; do build_targets+=(--target "qv_fuzz_$t"); done
cmake --build "$build" -j"$jobs" "${build_targets[@]}"

work="$root/fuzz/corpus-work"
artifacts="$build/fuzz-artifacts"
logs="$build/fuzz-logs"
mkdir -p "$artifacts" "$logs"

failed=()
for t in "${targets[@]}"; do
  binary="$build/fuzz/qv_fuzz_$t"
  rm -rf "${work:?}/$t" "${artifacts:?}/$t"
  mkdir -p "$work/$t" "$artifacts/$t"
  if [[ -d "$root/fuzz/corpus/$t" ]]; then
    cp -R "$root/fuzz/corpus/$t/." "$work/$t/"
  fi
  log="$logs/$t.log"
  echo "== fuzz: $t for ${seconds}s (log: $log)"
  status=0
  # New inputs go to the scratch copy; the committed corpus is read only.
  ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}" \
    UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    "$binary" "$work/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/$t/" \
    >"$log" 2>&1 || status=$?
  grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "$log" | tail -1 || true
  if [[ $status -ne 0 ]]; then
    echo "!! fuzz: $t failed (exit $status)"
    grep -E 'ERROR: |SUMMARY: |runtime error:|Test unit written to' "$log" | head -20 || true
    grep -E '^ +#[0-9]+ ' "$log" | head -12 || true
    failed+=("$t")
  fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
  echo
  echo "== fuzz: FAILED: ${failed[*]}"
  for t in "${failed[@]}"; do
    for input in "$artifacts/$t"/*; do
      [[ -e "$input" ]] || continue
      echo "   $t: crashing input $input"
      echo "      replay: $build/fuzz/qv_fuzz_$t $input"
    done
    echo "   $t: full log $logs/$t.log"
  done
  exit 1
fi
echo "== fuzz: all ${#targets[@]} targets ran ${seconds}s each without a finding"
