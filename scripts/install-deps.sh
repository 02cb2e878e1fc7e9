#!/usr/bin/env bash
# Installs what a task needs on Debian, judged by the commands (and the few
# files) that the build, the tests and the benchmark actually use.
#   scripts/install-deps.sh run     the daemon: a compiler, CMake, make
#   scripts/install-deps.sh check   everything every test suite needs (with the short fuzz pass)
#   scripts/install-deps.sh fuzz    the fuzz build: clang 14 and its libFuzzer runtime
#   scripts/install-deps.sh bench   check, plus the programs compared against
#   scripts/install-deps.sh deb     run, plus what makes the Debian package
#   scripts/install-deps.sh dist-windows  the cross compiler, wixl, msibuild and zip
set -eu
task=${1:-check}

# "what package": a command name, or an absolute path (a pattern) for a file.
run_needs=(
    "cmake cmake"
    "make make"
    "g++ g++"
)
deb_needs=(
    "scdoc scdoc"
    "gzip gzip"
    "dpkg-deb dpkg"
    "dpkg-shlibdeps dpkg-dev"
)
windows_needs=(
    "x86_64-w64-mingw32-gcc-posix gcc-mingw-w64-x86-64-posix"
    "x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix"
    "x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64"
    "wixl wixl"
    "msibuild msitools"
    "zip zip"
)
check_needs=(
    "ctest cmake"
    "/usr/include/gtest/gtest.h libgtest-dev"
    "/usr/src/googletest/CMakeLists.txt googletest"
    "wine wine"
    "wineboot wine"
    "wineserver wine"
    "Xvfb xvfb"
    "localedef libc-bin"
    "/usr/share/i18n/locales/pl_PL locales"
    "/usr/share/i18n/locales/en_US locales"
    "flock util-linux"
    "unshare util-linux"
    "setsid util-linux"
    "ip iproute2"
    "pgrep procps"
    "unzip unzip"
    "systemd-analyze systemd"
    "lintian lintian"
    "/usr/lib/python3/dist-packages/serial/rfc2217.py python3-serial"
)
fuzz_needs=(
    "cmake cmake"
    "make make"
    "clang++-14 clang-14"
    "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-14-dev"
)
bench_needs=(
    "socat socat"
    "ser2net ser2net"
)

case "$task" in
run) wanted=("${run_needs[@]}") ;;
deb) wanted=("${run_needs[@]}" "${deb_needs[@]}") ;;
dist-windows) wanted=("${run_needs[@]}" "${windows_needs[@]}") ;;
fuzz) wanted=("${fuzz_needs[@]}") ;;
check) wanted=("${run_needs[@]}" "${deb_needs[@]}" "${windows_needs[@]}" "${check_needs[@]}" "${fuzz_needs[@]}") ;;
bench) wanted=("${run_needs[@]}" "${deb_needs[@]}" "${windows_needs[@]}" "${check_needs[@]}" "${fuzz_needs[@]}" "${bench_needs[@]}") ;;
*) echo "usage: scripts/install-deps.sh run|check|bench|fuzz|deb|dist-windows" >&2; exit 2 ;;
esac

present() {
    case "$1" in
    /*) compgen -G "$1" >/dev/null ;;
    *) command -v "$1" >/dev/null 2>&1 ;;
    esac
}

missing() {
    local item
    for item in "${wanted[@]}"; do
        present "${item%% *}" || echo "$item"
    done
}

packages=$(missing | awk '{print $2}' | sort -u | tr '\n' ' ')
if [ -n "$packages" ]; then
    echo "installing: $packages"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    $sudo apt-get install -y -qq --no-install-recommends $packages >/dev/null
fi

still=$(missing | awk '{print $1}' | tr '\n' ' ')
if [ -n "$still" ]; then
    echo "install-deps: still missing after installing: $still" >&2
    exit 1
fi
