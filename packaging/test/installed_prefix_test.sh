#!/usr/bin/env bash
# Installs the build into a prefix, moves the prefix elsewhere and runs programs from there:
# every program and library must find the suite's libraries through $ORIGIN/../lib, and none
# may still point into the build tree.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/moved"
prefix=$work/moved
fail=0
check() { if ! "$@"; then echo "FAILED: $*"; fail=1; fi; }

programs=(routecheck_node cloudconv_node scancheck_node voidvol_node bagstat_node scanmerge_node)
for p in "${programs[@]}"; do
  check test -x "$prefix/bin/$p"
  if ldd "$prefix/bin/$p" | grep -E 'not found|'"$build" >&2; then
    echo "FAILED: $p resolves libraries outside the installed prefix"
    fail=1
  fi
  check bash -c "'$prefix/bin/$p' --help | grep -q DRONE_TASK_PROGRESS_URL"
done
for lib in taskkit routecheck cloudconv scancheck voidvol bagstat scanmerge; do
  check test -f "$prefix/lib/lib$lib.so"
done

runpath() { readelf -d "$1" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p'; }
for f in "$prefix"/bin/*_node "$prefix"/lib/lib*.so; do
  case $(basename "$f") in
    libvoidvol.so) check test -z "$(runpath "$f")" ;;
    *) check test "$(runpath "$f")" = '$ORIGIN/../lib' ;;
  esac
done

# A real run from the moved prefix.
bag=${DRONE_SOURCE_DIR}/testing/fixtures/bags/example.bag
if [[ -f $bag ]]; then
  out=$(env -u DRONE_TASK_PROGRESS_URL "$prefix/bin/bagstat_node" --bag "$bag")
  check grep -q '"total_messages":8647' <<<"$out"
fi
exit $fail
