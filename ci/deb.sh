#!/bin/bash
# The Debian package, installed as a user would install it: builds quorvel_<version>_<arch>.deb
# with CPack, has lintian check it (any error or warning fails), installs it with apt-get,
# runs the installed quorvel from PATH on a sample (encrypt, decrypt, compare), checks that the
# man page and the README are installed, that every relative link of the installed README leads
# to an installed file and that it holds no developer step, and that --version and --help
# answer, and removes the package again. Installs what is missing from Debian's packages; safe
# to rerun.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=ci/checks.sh
source ci/checks.sh

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# dpkg-shlibdeps (dpkg-dev) computes the library dependencies; man-db renders the page;
# lintian checks the package against Debian policy.
scripts/install-deps dpkg-dev man-db lintian

# The page in the source tree renders without a single warning from groff.
man_warnings=$(MANWIDTH=80 man --warnings ./quorvel.1 2>&1 >/dev/null)
[ -z "$man_warnings" ] ||
    { echo "$man_warnings"; echo "FAILED: quorvel.1 renders with warnings"; exit 1; }
cmake --preset release >/dev/null
cmake --build --preset release -j2
rm -rf build/package
(cd build/release && cpack -G DEB -B "$PWD/../package")
deb=$(ls build/package/quorvel_*.deb)
dpkg-deb -f "$deb" Depends | grep -q '^7zip | p7zip-full, ' ||
    { echo "FAILED: the package does not depend on 7zip | p7zip-full"; exit 1; }
# Every tag is shown, informational ones included; an error or a warning fails the build.
lintian --info --display-info --fail-on error,warning "$deb" ||
    { echo "FAILED: lintian found errors or warnings in $(basename "$deb")"; exit 1; }
echo "lintian: $(basename "$deb") has no errors or warnings"

# apt-get waits for the package manager's lock instead of failing while another install runs;
# the frontend setting goes through env so that sudo keeps it.
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
$sudo "${apt[@]}" install -y -q --reinstall "./$deb"
trap '$sudo "${apt[@]}" remove -y -q quorvel > /dev/null' EXIT

# The program's own lines: the archiver's output (which differs between 7-Zip versions) is cut
# where it runs. "[end]" closes the text so that $(...) keeps its last line break.
program_text() {
    perl -0777 -pe 's/(\n7z\.exe a quorvelxxxfilo\.7z [^\n]*\n!).*?(Crypt process start!\n)/$1$2/s;
        s/(Decrypt OK!\n).*/$1/s; $_ .= "[end]"' "$1"
}

check "quorvel on PATH is /usr/bin/quorvel" [ "$(command -v quorvel)" = /usr/bin/quorvel ]
check "the README is installed as it is in the sources" \
    cmp -s README.md /usr/share/doc/quorvel/README.md
check "the package holds the README" \
    bash -c "dpkg-deb -c '$deb' | grep ' ./usr/share/doc/quorvel/README.md$' > /dev/null"
check "the page the README links is installed as it is in the sources" \
    cmp -s docs/WINDOWS.md /usr/share/doc/quorvel/docs/WINDOWS.md

# The installed README stands alone: each of its relative links (a Markdown link's target that
# names no scheme and is no absolute path, its #fragment cut) leads to an installed file.
doc=/usr/share/doc/quorvel
links=$(grep -oE '\]\([^)]*\)' "$doc/README.md" | sed -E 's/^\]\(//; s/\)$//; s/#.*//' |
    grep -vE '^$|^/|^[A-Za-z][A-Za-z0-9+.-]*:' | sort -u || true)
check "the installed README links pages of its own" [ -n "$links" ]
while IFS= read -r link; do
    [ -n "$link" ] || continue
    check "the installed README's link $link leads to an installed file" [ -f "$doc/$link" ]
done <<< "$links"
check "quorvel --version names the package's version" \
    [ "$(quorvel --version)" = "quorvel $(dpkg-deb -f "$deb" Version)" ]
check "quorvel --help points to the installed man page" \
    bash -c 'quorvel --help | grep -qx "Manual: man quorvel"'
check "man finds the installed page" [ "$(man -w quorvel)" = /usr/share/man/man1/quorvel.1.gz ]
check "the installed page renders" \
    bash -c 'MANWIDTH=80 man quorvel 2> /dev/null | grep -q "FILES LEFT ON FAILURE"'

sample=$(mktemp -d)
trap '$sudo "${apt[@]}" remove -y -q quorvel > /dev/null; rm -rf "$sample"' EXIT
mkdir "$sample/enc" "$sample/dec"
head -c 100000 /dev/urandom > "$sample/enc/sample data.bin"
status=0
(cd "$sample/enc" && quorvel "sample data.bin" sample.qv secret > ../enc.txt) || status=$?
check "encryption ends with status 0 (got $status)" [ "$status" = 0 ]
expected=$'Crypt run\n!\n7z.exe a quorvelxxxfilo.7z sample data.bin\n!'
expected+=$'Crypt process start!\nCript complite\n[end]'
check "encryption prints its messages" [ "$(program_text "$sample/enc.txt")" = "$expected" ]
mv "$sample/enc/sample.qv" "$sample/dec/"
status=0
(cd "$sample/dec" && quorvel sample.qv x secret > ../dec.txt) || status=$?
check "decryption ends with status 0 (got $status)" [ "$status" = 0 ]
check "decryption prints its messages" \
    [ "$(program_text "$sample/dec.txt")" = $'Decrypt process start!\nDecrypt OK!\n[end]' ]
check "decryption gives the sample back" \
    cmp -s "$sample/enc/sample data.bin" "$sample/dec/sample data.bin"
check "nothing else is left" [ "$(ls -A "$sample/dec")" = $'sample data.bin\nsample.qv' ]

[ "$failed" -eq 0 ] || { cat "$sample/enc.txt" "$sample/dec.txt"; }
echo "Installed $(basename "$deb") and ran quorvel from PATH."
echo "deb: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
