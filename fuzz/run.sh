#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time, printing the
# executions each ran. Exits non-zero when a target finds a crash, a sanitizer
# report or a broken property; the input that shows it is kept in
# build/fuzz/work/<target>/findings/ and can be replayed by passing it to the
# target's program (build/fuzz/fuzz/fuzz_<target> FILE).
#
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_JOBS      targets run at the same time, 1 or 2 (default 2)
#   FUZZ_TARGETS   which targets (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-2}
[ "$jobs" -ge 1 ] && [ "$jobs" -le 2 ] || jobs=2  # the machine has two cores
targets=(${FUZZ_TARGETS:-date path rewrite nkf32 nkf32_scalar prepass})
build=build/fuzz
work=$build/work

# clang and its libFuzzer runtime, from Debian, when missing.
scripts/install-deps.sh clang libclang-rt-14-dev cmake make

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLET_BUILD_FUZZ=ON -DQUILLET_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null

# Longest input each target is given: enough for several 255-byte pieces.
max_len() {
  case "$1" in
    date) echo 512 ;;
    path) echo 1024 ;;
    nkf32 | nkf32_scalar) echo 2048 ;;
    *) echo 8192 ;;
  esac
}

seed_dir() {
  case "$1" in
    nkf32_scalar) echo fuzz/corpus/nkf32 ;;
    *) echo "fuzz/corpus/$1" ;;
  esac
}

run_target() {
  local t=$1 dir=$work/$1
  mkdir -p "$dir/corpus" "$dir/findings"
  # New inputs go to the work corpus (the first directory), never to the seeds.
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$dir/findings/" \
    "$dir/corpus" "$(seed_dir "$t")" >"$dir/log" 2>&1
}

report() {
  local t=$1 rc=$2 log=$work/$1/log runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  [ -n "$runs" ] || runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -n 1)
  if [ "$rc" -eq 0 ]; then
    echo "fuzz_$t: ok, ${runs:-?} executions in ${seconds} s"
    return 0
  fi
  echo "fuzz_$t: FINDING after ${runs:-?} executions (exit $rc); log: $log"
  grep -E 'property violated|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer)|runtime error|^(input|expected|actual|output)' \
    "$log" | head -n 20 || true
  ls "$work/$t/findings/" 2>/dev/null | sed "s|^|  $work/$t/findings/|"
  return 1
}

failed=0
i=0
while [ $i -lt ${#targets[@]} ]; do
  batch=("${targets[@]:$i:$jobs}")
  pids=()
  for t in "${batch[@]}"; do
    run_target "$t" &
    pids+=($!)
  done
  for k in "${!batch[@]}"; do
    rc=0
    wait "${pids[$k]}" || rc=$?
    report "${batch[$k]}" "$rc" || failed=1
  done
  i=$((i + jobs))
done
exit $failed
