#!/usr/bin/env bash
# Builds the daemon alone and serves examples/http-hello.sh on
# 127.0.0.1:7070 in the foreground (Ctrl-C stops it). As root, installs
# cmake, g++ and make from Debian's packages when one is missing, and curl
# with them; as any other user, names what to install and stops.
set -euo pipefail
cd "$(dirname "$0")/.."

# command:package pairs; a tool already on PATH is never reinstalled, so a
# user who has them runs this without root and without apt-get.
missing=()
for pair in cmake:cmake c++:g++ make:make; do
  command -v "${pair%%:*}" > /dev/null 2>&1 || missing+=("${pair#*:}")
done
if ((${#missing[@]})); then
  # Installing anyway: bring the client of the README's curl line along.
  command -v curl > /dev/null 2>&1 || missing+=(curl)
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing: ${missing[*]}; as root, run:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build
cmake --build build -j2 --target sockherd
echo "serving examples/http-hello.sh on 127.0.0.1:7070; try: curl -s http://127.0.0.1:7070/ (Ctrl-C stops it)"
exec ./build/sockherd -v 127.0.0.1 7070 examples/http-hello.sh
