#!/usr/bin/env bash
# The suite at work on its sample data: installs what it needs, builds, generates the sample
# set and runs all six programs on it, printing each program's final result line and a
# one-line summary. Exits 0 when every program behaved as expected (the broken mission is
# expected to fail).
#   scripts/demo.sh [SAMPLE_DIR]      (default: sample/)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sample=${1:-sample}

./scripts/install-deps.sh >/dev/null
export PATH="/usr/bin:$PATH"
build=build/release
if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j "$(nproc)" >/dev/null
bin=$root/$build/bin

rm -rf "$sample"
"$bin/drone_samples" "$sample"
sample=$(cd "$sample" && pwd)
unset DRONE_TASK_PROGRESS_URL

failures=0
# run_step TITLE EXPECTED_STATUS PROGRAM ARGS... : runs one program, shows its final result
# line and a summary, and checks its exit status.
run_step() {
  local title=$1 expected=$2 program=$3
  shift 3
  echo "== $title: $program $*"
  local out status=0
  out=$("$bin/$program" "$@" 2>/dev/null) || status=$?
  /usr/bin/python3 "$root/scripts/demo_summary.py" "$program" "$status" "$sample" <<<"$out" ||
    failures=$((failures + 1))
  if [[ $status != "$expected" ]]; then
    echo "   !! exit status $status, expected $expected"
    failures=$((failures + 1))
  fi
  echo
}

run_step "Check the mission" 0 routecheck_node --mission-file "$sample/mission_ok.json"
run_step "Check the broken mission" 1 routecheck_node --mission-file mission_bad.json \
  --source-dir "$sample"
run_step "Statistics of the recording" 0 bagstat_node --bag "$sample/flight.bag"
run_step "Check the lidar frames" 0 scancheck_node --bag "$sample/flight.bag"
run_step "Convert to PointCloud2" 0 cloudconv_node --input_bag "$sample/flight.bag"
run_step "Measure the void" 0 voidvol_node --input "$sample/void.pcd" --depth 8 \
  --output_dir "$sample"
run_step "Merge the keyframes" 0 scanmerge_node --input_dir "$sample/site"

if ((failures > 0)); then
  echo "demo: $failures step(s) did not behave as expected"
  exit 1
fi
echo "demo: all six programs behaved as expected (sample data in $sample)"
