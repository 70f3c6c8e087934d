#!/usr/bin/env bash
# Builds everything and runs the suite to run after every change,
#   ctest --test-dir build -L quick --output-on-failure
# (unit, end-to-end, fault and security cases and a short load run), then
# names each skipped test and why. CI passes another build directory and
# CMake options: build-and-test.sh [BUILD_DIR [CMAKE_OPTION...]]. As root, installs what the suite uses from
# Debian's packages when it is missing: cmake, g++, make, libgtest-dev, and
# the tools some cases run: curl, systemd (for systemd-socket-activate),
# iproute2 (ip and ss), nftables (nft) and python3-prometheus-client (which
# parses the metrics file), so that nothing is skipped for
# want of a tool. As any other user, names what the build lacks and stops;
# without one of the tools, only the cases that run it are skipped, each
# naming its package.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
wanted=()
for pair in cmake:cmake c++:g++ make:make; do
  command -v "${pair%%:*}" > /dev/null 2>&1 || missing+=("${pair#*:}")
done
[ -e /usr/include/gtest/gtest.h ] || [ -e /usr/local/include/gtest/gtest.h ] || missing+=(libgtest-dev)
# The tools some cases run, as command:package; ip and nft live in sbin,
# which a user's PATH may lack.
for pair in curl:curl systemd-socket-activate:systemd ip:iproute2 ss:iproute2 nft:nftables; do
  PATH="$PATH:/usr/sbin:/sbin" command -v "${pair%%:*}" > /dev/null 2>&1 ||
    [[ " ${wanted[*]} " == *" ${pair#*:} "* ]] || wanted+=("${pair#*:}")
done
[ -e /usr/lib/python3/dist-packages/prometheus_client/parser.py ] || wanted+=(python3-prometheus-client)
if [ "$(id -u)" -eq 0 ] && ((${#missing[@]} + ${#wanted[@]})); then
  echo "installing: ${missing[*]} ${wanted[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" "${wanted[@]}"
elif ((${#missing[@]})); then
  echo "missing: ${missing[*]}; as root, run:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]} ${wanted[*]}" >&2
  exit 1
fi

build=${1:-build}
shift $(($# > 0))
cmake -S . -B "$build" "$@"
cmake --build "$build" -j2
status=0
ctest --test-dir "$build" -L quick --output-on-failure || status=$?
sh tests/list-skipped.sh "$build"
exit "$status"
