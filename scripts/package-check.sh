#!/usr/bin/env bash
# Builds the Debian package from build/release, installs it with apt, runs programs from the
# installed location, and removes it again. Needs root (apt) and a finished build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/release
export PATH="/usr/bin:$PATH"

(cd "$build" && rm -f drone-tasks_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/drone-tasks_*.deb)
echo "package-check: built $(basename "$deb")"
dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ */  depends: /'

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q "$deb" >/dev/null
trap 'apt-get remove -y -q drone-tasks >/dev/null' EXIT

/opt/drone-tasks/bin/bagstat_node --help | head -3
out=$(env -u DRONE_TASK_PROGRESS_URL /opt/drone-tasks/bin/bagstat_node \
  --bag "$root/testing/fixtures/bags/example.bag")
tail -1 <<<"$out"
grep -q '"total_messages":8647' <<<"$out"
echo "package-check: installed package runs"
