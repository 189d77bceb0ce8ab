#!/usr/bin/env bash
# Installs every Debian package the suite needs to build, test, run its demo and
# package itself. Idempotent: when everything is present it only checks and exits.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-format clang-tidy
  librosbag-storage-dev libbz2-dev libroslz4-dev libsensor-msgs-dev libstd-msgs-dev ros-std-msgs
  python3-genmsg python3-gencpp libroscpp-core-dev
  libpcl-dev libjsoncpp-dev libcurl4-openssl-dev
  # ROS 2 recordings: rosbag2 folders' metadata.yaml, MCAP chunk codecs, SQLite storage
  libyaml-cpp-dev libzstd-dev liblz4-dev libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev
  python3-rosbag python3-sensor-msgs python3-std-msgs ros-sensor-msgs
  dpkg-dev file
  clang libfuzzer-14-dev libclang-rt-14-dev
  locales help2man man-db
  # independent readers of the meshes voidvol_node saves, for its tests
  python3-meshio python3-ezdxf
  # ROS 2 recordings the converter writes: CRC-32 of MCAP records (zlib); the independent readers
  # of its tests (zstd for compressed chunks, Python's yaml for metadata.yaml; the npm packages of
  # testing/ros2-writers run on the machine's node)
  zlib1g-dev zstd python3-yaml
)

# The locale tests run the programs under a German locale (digit grouping, decimal comma).
ensure_locale() {
  locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8' && return 0
  echo "install-deps: generating the de_DE.UTF-8 locale"
  $SUDO localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
}

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
  [[ "$status" == ii* ]] || missing+=("$p")
done

if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages present"
  ensure_locale
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
ensure_locale
