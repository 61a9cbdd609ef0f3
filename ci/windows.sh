#!/bin/bash
# The Windows build, tested under Wine: cross-builds quorvel.exe and the unit tests with
# mingw-w64, runs the unit tests through CTest with Wine, and runs the end-to-end test that
# compares quorvel.exe (with a real Windows 7-Zip, 7za.exe from the npm package 7zip-bin)
# against the Linux build. Installs what is missing from Debian's packages; safe to rerun.
set -euo pipefail
cd "$(dirname "$0")/.."

SEVEN_ZIP_BIN=7zip-bin@5.2.0

# Debian packages, named only when their command or files are missing.
extra=()
command -v wine >/dev/null 2>&1 || extra+=(wine wine64)
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || extra+=(g++-mingw-w64-x86-64-posix)
[ -f /usr/src/googletest/CMakeLists.txt ] || extra+=(googletest)
command -v npm >/dev/null 2>&1 || extra+=(npm)
scripts/install-deps "${extra[@]}"

# The Linux build, whose console text the Windows one must match.
cmake --preset release >/dev/null
cmake --build --preset release -j2

# A Windows 7-Zip console archiver, shipped inside the npm package 7zip-bin.
archiver="$PWD/build/npm/package/win/x64/7za.exe"
if [ ! -f "$archiver" ]; then
    mkdir -p build/npm
    (cd build/npm && tarball=$(npm pack --silent "$SEVEN_ZIP_BIN") &&
        tar -xzf "$tarball" package/win/x64/7za.exe)
fi

# The first start of a Wine prefix sets it up (tens of seconds): done once here, not inside
# a test's time limit.
export WINEPREFIX="$PWD/build/windows/wine" WINEDEBUG=-all
wine wineboot --init >/dev/null 2>&1 || true
wineserver -w || true

cmake --preset windows -DQUORVEL_LINUX_BINARY="$PWD/build/release/app/quorvel" \
    -DQUORVEL_WINDOWS_7Z="$archiver" >/dev/null
cmake --build --preset windows
ctest --preset windows
