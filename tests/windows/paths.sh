#!/bin/bash
# Windows paths as Windows users write them, quorvel.exe under Wine: device names and names no
# folder holds as the output, refused before anything is packed; a device as the input or the
# key file, refused as no file; an output marked read-only, refused before packing too; paths
# of 300 characters and more, with the manifest that has Windows take them; a password file
# named in Unicode; and the access list of the plaintext archive in a folder others may read,
# while it exists, when encrypting and when decrypting.
#
# Usage: paths.sh <quorvel.exe> <Windows 7z.exe or 7za.exe> <copying archiver .exe> <read_back.exe>
# The copying archiver is the interrupt test's stand-in for 7z.exe (copying_archiver.cpp), slow
# with COPYING_ARCHIVER_PAUSE_MS; read_back.exe reads back a manifest's settings and access lists
# (read_back.cpp). Needs wine (WINE may name another loader).
set -uo pipefail

windows_binary=$(realpath "$1")
windows_archiver=$(realpath "$2")
copying_archiver=$(realpath "$3")
read_back_exe=$(realpath "$4")
wine=${WINE:-wine}
export WINEDEBUG=${WINEDEBUG:--all}
# Wine takes the Unicode of names and of the environment from the locale.
export LC_ALL=C.UTF-8

scratch=$(mktemp -d)
[ -n "${KEEP_SCRATCH:-}" ] || trap 'rm -rf "$scratch"' EXIT

# shellcheck source=ci/checks.sh
source "$(dirname "$0")/../../ci/checks.sh"

# A fresh folder holding quorvel.exe and, as 7z.exe, the given archiver (the real one unless
# named), readable by everyone as a shared folder is.
new_folder() {  # new_folder <name> [archiver]
    local folder="$scratch/$1"
    mkdir -p "$folder"
    chmod 755 "$folder"
    cp "$windows_binary" "$folder/quorvel.exe"
    cp "${2:-$windows_archiver}" "$folder/7z.exe"
    printf '%s' "$folder"
}

run() {  # run <folder> <output file> <arguments...>; prints the exit status
    local folder=$1 output=$2
    shift 2
    (cd "$folder" &&
        timeout 60 "$wine" ./quorvel.exe "$@" < /dev/null > "$output" 2>> "$scratch/wine.log")
    echo $?
}

# A run's console text, CR LF read as LF, closed by "[end]" so that $(...) keeps its last line
# break.
text_of() {  # text_of <file>
    tr -d '\r' < "$1"
    printf '[end]'
}

# The names and contents of everything in a folder, to tell that a run changed nothing.
snapshot() {  # snapshot <folder>
    (cd "$1" && find . -printf '%y %p\n' | LC_ALL=C sort &&
        find . -type f -exec cksum {} + | LC_ALL=C sort)
}

read_back() {  # read_back <folder> <arguments...>: read_back.exe run in <folder>
    local folder=$1
    shift
    (cd "$folder" && "$wine" "$read_back_exe" "$@" 2>> "$scratch/wine.log" | tr -d '\r')
}

# Outputs that no file can be: a device's name in any case, with any extension, in a folder;
# the console's own names; the device namespace; names Windows keeps characters out of. Each
# is refused before the archiver runs, and the folder stays as it was.
folder=$(new_folder outputs)
printf 'the plans\n' > "$folder/plan.txt"
mkdir "$folder/sub"
before=$(snapshot "$folder")
for output in NUL nul CON PRN AUX.qv COM1 COM0 'COM¹' LPT1 'lpt9.tar.gz' nul.txt 'NUL ' \
    'CONIN$' 'CONOUT$' 'sub\NUL' 'sub\aux.qv' '\\.\NUL' 'x<y' 'out.qv:stream' 'why?'; do
    status=$(run "$folder" "$scratch/output.txt" plan.txt "$output" pw)
    check "output '$output': status 1 (got $status)" [ "$status" = 1 ]
    check "output '$output': refused before packing" same_text "Crypt run
Error! Can't create file '$output'.
[end]" "$(text_of "$scratch/output.txt")"
done
check "refused outputs: nothing made, packed or changed" same_text "$before" "$(snapshot "$folder")"

# A device as the input or the key file is no file: refused without being opened (COM1 or
# CONIN$ opened would wait for input).
for input in NUL COM1 'CONIN$' aux.txt '\\.\COM1'; do
    status=$(run "$folder" "$scratch/input.txt" "$input" out.qv pw)
    check "input '$input': status 1 (got $status)" [ "$status" = 1 ]
    check "input '$input': refused as no file" same_text "Crypt run
Error! Input '$input' is neither a file nor a folder.
[end]" "$(text_of "$scratch/input.txt")"
done
for key_file in NUL 'CONIN$'; do
    status=$(run "$folder" "$scratch/key.txt" plan.txt out.qv pw "$key_file")
    check "key file '$key_file': status 1 (got $status)" [ "$status" = 1 ]
    check "key file '$key_file': refused as no file" same_text "Crypt run
Error! Key file '$key_file' is not a regular file.
[end]" "$(text_of "$scratch/key.txt")"
done
check "refused inputs and key files: nothing made or changed" \
    same_text "$before" "$(snapshot "$folder")"

# An output marked read-only (Wine marks a file without write permission so): Windows would
# refuse the rename over it after all the work, so it is refused before, and stays as it was.
folder=$(new_folder read-only)
printf 'the plans\n' > "$folder/plan.txt"
printf 'an older output' > "$folder/out.qv"
chmod a-w "$folder/out.qv"
before=$(snapshot "$folder")
status=$(run "$folder" "$scratch/read-only.txt" plan.txt out.qv pw)
check "read-only output: status 1 (got $status)" [ "$status" = 1 ]
check "read-only output: refused before packing" same_text "Crypt run
Error! Can't create file 'out.qv'.
[end]" "$(text_of "$scratch/read-only.txt")"
check "read-only output: kept, and nothing made" same_text "$before" "$(snapshot "$folder")"

# Paths past 260 characters, relative and absolute (also with the \\?\ prefix), for the input,
# the output and a new key file; decrypted elsewhere, where the archive's long names are made
# again. (Wine starts no program in a current folder that long, so the folders stay short.)
folder=$(new_folder long)
segment="a folder name of some fifty characters, more or less"
deep="$segment/$segment/$segment/$segment/$segment/$segment"
windows_deep=${deep//\//\\}
mkdir -p "$folder/$deep"
printf 'the deep plans\n' > "$folder/$deep/plan.txt"
check "long paths: the path is longer than 300 characters" [ "${#windows_deep}" -gt 300 ]
status=$(run "$folder" "$scratch/long.txt" "$windows_deep\\plan.txt" "$windows_deep\\plan.qv" pw \
    "$windows_deep\\key.bin")
check "long paths: encrypts (status $status)" [ "$status" = 0 ]
check "long paths: a key file of 3072 bytes" [ "$(stat -c %s "$folder/$deep/key.bin")" = 3072 ]
absolute="Z:${folder//\//\\}\\$windows_deep"
status=$(run "$folder" "$scratch/long-absolute.txt" "\\\\?\\$absolute\\plan.txt" \
    "$absolute\\absolute.qv" pw)
check "long paths: encrypts absolute paths (status $status)" [ "$status" = 0 ]
check "long paths: the absolute output made" [ -s "$folder/$deep/absolute.qv" ]
other=$(new_folder long-decrypt)
mkdir -p "$other/$deep"
cp "$folder/$deep/plan.qv" "$folder/$deep/key.bin" "$other/$deep/"
status=$(run "$other" "$scratch/long-decrypt.txt" "$windows_deep\\plan.qv" x pw \
    "$windows_deep\\key.bin")
check "long paths: decrypts (status $status)" [ "$status" = 0 ]
check "long paths: the input comes back at its long name" \
    cmp -s "$folder/$deep/plan.txt" "$other/$deep/plan.txt"
# What has Windows take such paths at all: the manifest, read as Windows reads it. It sets no
# active code page, which would change the bytes of a password given as an argument.
check "manifest: paths past 260 characters taken" \
    same_text true "$(read_back "$folder" setting quorvel.exe longPathAware)"
check "manifest: no active code page" \
    same_text - "$(read_back "$folder" setting quorvel.exe activeCodePage)"

# QUORVEL_PASSWORD_FROM=file:PATH, the path named in Unicode as the command line's names are.
folder=$(new_folder password-file)
mkdir "$folder/sub"
printf 'the plans\n' > "$folder/plan.txt"
printf 'secret\r\n' > "$folder/sub/日本 パス.txt"
status=$(QUORVEL_PASSWORD_FROM='file:sub\日本 パス.txt' \
    run "$folder" "$scratch/password-file.txt" plan.txt plan.qv -)
check "password file in Unicode: encrypts (status $status)" [ "$status" = 0 ]
mv "$folder/plan.txt" "$folder/plan.orig"
status=$(run "$folder" "$scratch/password-file-decrypt.txt" plan.qv x secret)
check "password file in Unicode: its line is the password" [ "$status" = 0 ]
check "password file in Unicode: the input comes back" \
    cmp -s "$folder/plan.orig" "$folder/plan.txt"
status=$(QUORVEL_PASSWORD_FROM='file:sub\無い.txt' \
    run "$folder" "$scratch/password-missing.txt" plan.txt other.qv -)
check "missing password file: status 1 (got $status)" [ "$status" = 1 ]
check "missing password file: named in full" same_text "Crypt run
Error! Can't read the password from 'file:sub\\無い.txt'.
[end]" "$(text_of "$scratch/password-missing.txt")"

# The plaintext archive in a folder everyone may read, looked at while the (slow, stand-in)
# archiver packs or unpacks it: the access list of the folder that holds it when encrypting,
# and of the archive itself when decrypting, lets in nobody but the user. (Wine keeps access
# lists as POSIX modes and makes nothing inherit: the archive the archiver creates inside the
# folder gets its mode from the umask there, while on Windows it takes the folder's list.)
folder=$(new_folder private "$copying_archiver")
truncate -s 16M "$folder/big.bin"
check "private archive: the folder lets everyone in" \
    same_text S-1-1-0 "$(read_back "$folder" others .)"
wait_for() {  # wait_for <seconds> <command...>: true once the command is, false at the end
    local tries=$(($1 * 10))
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
archive_written() {  # archive_written <folder>: the archive, anywhere in the folder, not empty
    [ -n "$(find "$1" -name quorvelxxxfilo.7z -size +0 -print -quit)" ]
}
export COPYING_ARCHIVER_PAUSE_MS=250
(cd "$folder" && "$wine" ./quorvel.exe big.bin big.qv pw > "$scratch/private-encrypt.txt" \
    2>> "$scratch/wine.log") &
runner=$!
if wait_for 60 archive_written "$folder"; then
    archive=$(find "$folder" -name quorvelxxxfilo.7z -print -quit)
    holder=$(realpath --relative-to="$folder" "$(dirname "$archive")")
    check "encrypting: the archive's folder lets in the user alone" \
        same_text - "$(read_back "$folder" others "$holder")"
else
    check "encrypting: the archive was made" false
fi
wait "$runner"
check "encrypting: the run succeeds" grep -q '^Cript complite' "$scratch/private-encrypt.txt"
mv "$folder/big.bin" "$scratch/big.orig"
(cd "$folder" && "$wine" ./quorvel.exe big.qv x pw > "$scratch/private-decrypt.txt" \
    2>> "$scratch/wine.log") &
runner=$!
if wait_for 60 test -s "$folder/extracted.bin"; then
    check "decrypting: the archive lets in the user alone" \
        same_text - "$(read_back "$folder" others quorvelxxxfilo.7z)"
else
    check "decrypting: the archiver started" false
fi
wait "$runner"
unset COPYING_ARCHIVER_PAUSE_MS
check "decrypting: the run succeeds" grep -q '^Decrypt OK!' "$scratch/private-decrypt.txt"
check "private archive: gone, with its folder, once the runs end" \
    same_text "$(printf '%s\n' 7z.exe big.qv extracted.bin quorvel.exe)" "$(ls -A "$folder")"

echo "windows-paths: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
