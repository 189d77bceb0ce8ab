#!/usr/bin/env bash
# Builds the Debian package from build/release, installs it with apt, runs every program by
# its bare name (through the links in /usr/bin), opens every man page and removes the package
# again. Needs root (apt) and a finished build/release.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/release
export PATH="/usr/bin:$PATH"
programs=(routecheck_node bagstat_node scancheck_node cloudconv_node voidvol_node scanmerge_node)

(cd "$build" && rm -f drone-tasks_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/drone-tasks_*.deb)
echo "package-check: built $(basename "$deb")"
dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ */  depends: /'

fail=0
check() { if ! "$@"; then echo "FAILED: $*"; fail=1; fi; }

pages=$(mktemp -d)
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q -o DPkg::Lock::Timeout=300 "$deb" >/dev/null
trap 'rm -rf "$pages"; apt-get remove -y -q -o DPkg::Lock::Timeout=300 drone-tasks >/dev/null' EXIT

# On the PATH by bare name, through a link to the program under /opt that still finds the
# suite's libraries.
for p in "${programs[@]}"; do
  check test "$(command -v "$p")" = "/usr/bin/$p"
  check test "$(readlink -f "/usr/bin/$p")" = "/opt/drone-tasks/bin/$p"
  check bash -c "$p --help | head -1 | grep -q '^Usage: $p '"
done
out=$(cd / && env -u DRONE_TASK_PROGRESS_URL bagstat_node --bag "$root/testing/fixtures/bags/example.bag")
tail -1 <<<"$out"
check grep -q '"total_messages":8647' <<<"$out"

# A man page each, made from the program's --help. Minimal Debian images tell dpkg to leave
# /usr/share/man out (path-exclude in /etc/dpkg/dpkg.cfg.d); where a rule does and the pages
# are missing, they are read from the package file instead, and the check says so.
dpkg_config=$(cat /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/* 2>/dev/null || true)
man_excluded=0
if grep -q '^path-exclude=\?[[:space:]]*/usr/share/man' <<<"$dpkg_config"; then
  man_excluded=1
fi
dpkg-deb -x "$deb" "$pages"
from_package=()
for p in "${programs[@]}"; do
  installed=/usr/share/man/man1/$p.1.gz
  check test -f "$pages$installed"
  if [[ -f $installed ]]; then
    check test "$(man -w "$p")" = "$installed"
    text=$(LC_ALL=C.UTF-8 MANWIDTH=100 man "$p" 2>/dev/null | col -b || true)
  elif ((man_excluded)); then
    from_package+=("$p")
    text=$(LC_ALL=C.UTF-8 MANWIDTH=100 man -l "$pages$installed" 2>/dev/null | col -b || true)
  else
    echo "FAILED: $installed was not installed"
    fail=1
    continue
  fi
  check grep -q "^NAME" <<<"$text"
  check grep -q "^ *$p - " <<<"$text"
  # The synopsis is the usage line of --help.
  check grep -q "^ *$p " <<<"$(sed -n '/^SYNOPSIS/{n;p}' <<<"$text")"
done
if ((${#from_package[@]} > 0)); then
  echo "package-check: dpkg excludes /usr/share/man on this system; read from the package file: ${from_package[*]}"
fi

((fail == 0)) && echo "package-check: installed package runs by bare name and has its man pages"
exit $fail
