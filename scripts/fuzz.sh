#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang and libFuzzer (build/fuzz, every library
# instrumented, AddressSanitizer and UndefinedBehaviorSanitizer on) and runs each in turn for
# SECONDS (default 60) on its seeds, at low priority. What a run adds to a corpus stays in
# build/fuzz/corpus/<target>/ for the next run; an input that crashes, leaks or hangs is saved
# in build/fuzz/findings/<target>/. Prints each target's executions; exits 1 when any target
# found something.
#   scripts/fuzz.sh [SECONDS] [TARGET...]      (default: every target)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
(($# > 0)) && shift

./scripts/install-deps.sh >/dev/null
export PATH="/usr/bin:$PATH"

# Each target's largest input in bytes and its input folders (relative to the repository's
# top), from the table that the build reads too.
declare -A max_len=() seeds=()
order=()
while read -r name len folders; do
  [[ -z $name || $name == \#* ]] && continue
  max_len[$name]=$len
  seeds[$name]=$folders
  order+=("$name")
done <fuzz/targets.txt
targets=("$@")
((${#targets[@]} > 0)) || targets=("${order[@]}")
for t in "${targets[@]}"; do
  [[ -n ${max_len[$t]:-} ]] || { echo "fuzz: unknown target $t (known: ${order[*]})" >&2; exit 2; }
done

build=build/fuzz
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DDRONE_FUZZ=ON -DDRONE_BUILD_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzz}"

export ASAN_OPTIONS="detect_leaks=1"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch

found=0
summary=()
for t in "${targets[@]}"; do
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  mkdir -p "$corpus" "$findings"
  inputs=()
  for s in ${seeds[$t]}; do inputs+=("$s"); done
  log=$build/findings/$t.log
  echo "== fuzz $t for ${seconds}s"
  status=0
  nice -n 10 "$build/bin/${t}_fuzz" -max_total_time="$seconds" -max_len="${max_len[$t]}" \
    -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "${inputs[@]}" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if ((status != 0)); then
    found=1
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|fuzz: contract)' "$log" | head -5 || true
    summary+=("$t: ${runs:-?} executions, FOUND: $(ls "$findings" | head -3 | tr '\n' ' ')(log $log)")
  else
    summary+=("$t: ${runs:-?} executions, nothing found")
  fi
done
printf '%s\n' "${summary[@]}"
exit "$found"
