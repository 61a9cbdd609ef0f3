#!/bin/bash
# The Windows build, tested under Wine: cross-builds quorvel.exe and the unit tests with
# mingw-w64, runs the unit tests through CTest with Wine, and runs the end-to-end test that
# compares quorvel.exe (with a real Windows 7-Zip, 7za.exe from the npm package 7zip-bin)
# against the Linux build; then makes the release archive quorvel-<version>-windows-x64.zip
# with CPack, unpacks it and runs the quorvel.exe in it. Installs what is missing from
# Debian's packages; safe to rerun.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=ci/checks.sh
source ci/checks.sh

SEVEN_ZIP_BIN=7zip-bin@5.2.0

# Debian packages, named only when their command or files are missing.
extra=()
command -v wine >/dev/null 2>&1 || extra+=(wine wine64)
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || extra+=(g++-mingw-w64-x86-64-posix)
[ -f /usr/src/googletest/CMakeLists.txt ] || extra+=(googletest)
command -v npm >/dev/null 2>&1 || extra+=(npm)
command -v groff >/dev/null 2>&1 || extra+=(groff-base)  # the manual as text, for the archive
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

# The release archive, made as a release is made, unpacked and run as a Windows user would:
# exactly quorvel.exe, the README, the manual as text and docs/WINDOWS.md in one folder, and
# the unpacked quorvel.exe answers --version and --help and encrypts and decrypts with a
# Windows 7-Zip put beside it.
version=$(sed -n 's/^project(quorvel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="quorvel-$version-windows-x64"
rm -rf build/winzip
(cd build/windows && cpack -G ZIP -B "$PWD/../winzip")
zip="build/winzip/$name.zip"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$OLDPWD/$zip")
listing=$(cd "$unpacked" && find . -type f | LC_ALL=C sort)
expected="./$name/README.md
./$name/docs/WINDOWS.md
./$name/quorvel-manual.txt
./$name/quorvel.exe"
check "the archive holds exactly the four files (got: $listing)" [ "$listing" = "$expected" ]
folder="$unpacked/$name"
check "the README is the one in the sources" cmp -s README.md "$folder/README.md"
check "docs/WINDOWS.md is the one in the sources" cmp -s docs/WINDOWS.md "$folder/docs/WINDOWS.md"
check "the manual text has its sections and Windows line ends" \
    bash -c "grep -q \$'^SECURITY NOTES\r\$' '$folder/quorvel-manual.txt' &&
             ! grep -q \$'[^\r]\$' '$folder/quorvel-manual.txt'"
run_exe() { (cd "$folder" && wine ./quorvel.exe "$@"); }
check "quorvel.exe --version" [ "$(run_exe --version | tr -d '\r')" = "quorvel $version" ]
check "quorvel.exe --help names quorvel.exe and the manual" \
    bash -c "$(declare -f run_exe); folder='$folder'; run_exe --help | tr -d '\r' |
             grep -qx 'Manual: quorvel-manual.txt, beside quorvel.exe in the release archive'"
cp "$archiver" "$folder/7z.exe"
printf 'the plans\n' > "$folder/plan.txt"
(cd "$folder" && wine ./quorvel.exe plan.txt plan.qv secret > enc.txt) &&
    mv "$folder/plan.txt" "$folder/plan.orig" &&
    (cd "$folder" && wine ./quorvel.exe plan.qv x secret > dec.txt)
check "the unpacked quorvel.exe encrypts and decrypts" cmp -s "$folder/plan.orig" "$folder/plan.txt"
check "decryption said Decrypt OK!" grep -q '^Decrypt OK!' "$folder/dec.txt"
echo "windows release archive: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
