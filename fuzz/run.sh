#!/usr/bin/env bash
# Builds the harnesses with clang in build-fuzz/ and runs each one for SECONDS
# (default 15) over a scratch copy of its seed corpus plus fresh inputs, with
# its dictionary and input size bound (fuzz/harnesses), 512 MiB of memory and
# one second per input. Prints the executions of every harness, with the
# coverage (edges, features) and the corpus size it reached; exits non-zero
# on any crash, leak, timeout or out-of-memory (the input is kept under
# build-fuzz/fuzz/artifacts/). Used by run-short.sh and bench/fuzz/run-long.sh.
#
#     fuzz/run.sh [SECONDS] [HARNESS ...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${VORN_FUZZ_BUILD:-$root/build-fuzz}"
seconds="${1:-15}"
shift || true
wanted=("$@")

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DVORN_FUZZ=ON -DVORN_WITH_UI=OFF >/dev/null
cmake --build "$build" --target vorn_fuzzers -j "$(nproc)" | grep -v '^\[' || true
cmake --build "$build" --target vorn_fuzzers >/dev/null  # fails the script if the build failed

artifacts="$build/fuzz/artifacts"
mkdir -p "$artifacts"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# A smaller quarantine than the default 256 MiB: freed memory held back by the
# sanitizer would otherwise count against the harness's 512 MiB in long runs.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0:quarantine_size_mb=32"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
printf '%-20s %12s %10s %8s %8s %8s\n' harness executions "exec/s" cov ft corpus
while read -r name max_len; do
  case "$name" in ''|'#'*) continue ;; esac
  if [ ${#wanted[@]} -gt 0 ] && [[ " ${wanted[*]} " != *" $name "* ]]; then
    continue
  fi
  corpus="$scratch/$name"
  mkdir -p "$corpus"
  cp "$here/corpus/$name/"* "$corpus/" 2>/dev/null || true
  dict=()
  [ -f "$here/$name.dict" ] && dict=("-dict=$here/$name.dict")
  log="$scratch/$name.log"
  status=0
  timeout --kill-after=10 $((seconds + 60)) \
    "$build/fuzz/${name}Fuzzer" "$corpus" "${dict[@]}" -max_len="$max_len" -rss_limit_mb=512 \
      -malloc_limit_mb=512 -timeout=1 -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$artifacts/$name-" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)"
  cov="$(sed -n 's/^#[0-9]*.* cov: \([0-9]*\) ft: \([0-9]*\).*/\1 \2/p' "$log" | tail -1)"
  printf '%-20s %12s %10s %8s %8s %8s\n' "$name" "${runs:-?}" "${rate:-?}" "${cov% *}" "${cov#* }" \
    "$(ls "$corpus" | wc -l)"
  if [ "$status" -ne 0 ]; then
    failed+=("$name")
    echo "---- $name failed (exit $status); its log ends:" >&2
    tail -n 60 "$log" >&2
  fi
done <"$here/harnesses"

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
