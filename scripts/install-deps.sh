#!/usr/bin/env bash
# Installs what the build and the tests need on Debian, when it is missing.
set -eu
need=()
have() { dpkg -s "$1" >/dev/null 2>&1; }
for p in cmake make g++ libgtest-dev googletest g++-mingw-w64-x86-64-posix mingw-w64-tools \
         wine64 xvfb locales util-linux procps; do
    have "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0
echo "installing: ${need[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
