#!/bin/bash
# Ctrl+C under Wine, sent to quorvel.exe alone, at each stage of a run: while the archiver
# packs, while the cipher stage encrypts or decrypts, and while the archiver unpacks; and in a
# test or a listing (QUORVEL_MODE=test, list), while the cipher stage decrypts into the
# temporary folder and while the archiver reads the archive there. Each interrupted run ends
# with status 1 and leaves neither the plaintext archive nor a partial output, in its folder or
# the temporary folder, and its archiver dies with it: nothing is written afterwards. Wine
# turns SIGINT sent to a Windows console process into a Ctrl+C event for that process only;
# the archiver does not get one. While the first run works, a second one in the same folder
# is refused.
#
# Usage: interrupt.sh <quorvel.exe> <copying archiver .exe>
# The archiver stand-in copies the input as the archive ("a") and the archive to extracted.bin
# ("x"), and reads the archive of a test or a listing ("t", "l") into the file
# COPYING_ARCHIVER_READ_INTO names; with COPYING_ARCHIVER_PAUSE_MS it copies slowly, holding the
# archive as 7-Zip does (nobody may delete it meanwhile), so the run can be interrupted while it
# packs, unpacks, tests or lists; with COPYING_ARCHIVER_NEEDS_JOB it works only inside a job
# object.
set -uo pipefail

windows_binary=$(realpath "$1")
archiver=$(realpath "$2")
wine=${WINE:-wine}
export WINEDEBUG=${WINEDEBUG:--all}

scratch=$(mktemp -d)
[ -n "${KEEP_SCRATCH:-}" ] || trap 'rm -rf "$scratch"' EXIT

# The stand-in refuses to work outside a job object: quorvel.exe must start it in one.
export COPYING_ARCHIVER_NEEDS_JOB=1

# The Windows temporary folder, where a test or a listing decrypts (Wine sets it, whatever
# TMPDIR says), and the file the stand-in reads a test's or a listing's archive into.
windows_temp=$("$wine" winepath -u "$("$wine" cmd /c 'echo %TEMP%' | tr -d '\r')")
read_into="$scratch/read-into.bin"
COPYING_ARCHIVER_READ_INTO=$("$wine" winepath -w "$read_into")
export COPYING_ARCHIVER_READ_INTO

# shellcheck source=ci/checks.sh
source "$(dirname "$0")/../../ci/checks.sh"

# The first file in <folder> that is not one of the names given and holds more than a MiB:
# the file the cipher stage is writing.
growing_file() {  # growing_file <folder> <known name>...
    local folder=$1 entry name known
    shift
    for entry in "$folder"/.[!.]* "$folder"/*; do
        [ -f "$entry" ] || continue
        name=${entry##*/}
        for known in "$@"; do [ "$name" = "$known" ] && continue 2; done
        [ "$(stat -c %s "$entry")" -gt 1048576 ] && { printf '%s' "$name"; return 0; }
    done
    return 1
}

# The stages: the test each waits for before the interrupt.
packing() {  # packing <folder>: the archiver has written part of the archive, in the run's
    # packing folder
    local archive
    for archive in "$1"/.quorvel-pack-*/quorvelxxxfilo.7z; do
        [ -s "$archive" ] && return 0
    done
    return 1
}
encrypting() {  # encrypting <folder>: the output is being written
    growing_file "$1" big.bin quorvel.exe 7z.exe quorvelxxxfilo.7z > /dev/null
}
decrypting() {  # decrypting <folder>: the archive is being written
    growing_file "$1" big.qv quorvel.exe 7z.exe > /dev/null
}
unpacking() {  # unpacking <folder>: the archiver has extracted part of the archive
    [ -s "$1/extracted.bin" ]
}
decrypting_for_a_test() {  # decrypting_for_a_test <folder>: the archive is being written
    growing_file "$windows_temp" > /dev/null
}
testing() {  # testing <folder>: the archiver has read part of the archive
    [ -s "$read_into" ]
}
listing_archive() {  # listing_archive <folder>: the same, for a listing
    testing "$1"
}

# Runs quorvel.exe in <folder> with the arguments, runs <meanwhile> (a command, or "true") once
# <stage> holds, then sends SIGINT to quorvel.exe and prints its exit status; $scratch/reached
# says whether the stage was reached.
interrupt_run() {  # interrupt_run <folder> <stage> <meanwhile> <arguments...>
    local folder=$1 stage=$2 meanwhile=$3
    shift 3
    (cd "$folder" && exec "$wine" ./quorvel.exe "$@" > "$scratch/out.txt" 2> /dev/null) &
    local launcher=$! waited=0 pid=""
    echo no > "$scratch/reached"
    until "$stage" "$folder"; do
        sleep 0.1
        waited=$((waited + 1))
        [ "$waited" -gt 1200 ] && break
    done
    "$stage" "$folder" && echo yes > "$scratch/reached"
    "$meanwhile" "$folder"
    pid=$(pgrep -f "^\./quorvel\.exe $1 " | head -1)
    [ -n "$pid" ] && kill -INT "$pid"
    wait "$launcher"
    echo $?
}

listing() {  # listing <folder>: the names in it with their sizes, one a line, dot files included
    (cd "$1" && find . -mindepth 1 -printf '%P %s\n' | LC_ALL=C sort)
}

new_folder() {  # new_folder <name>
    local folder="$scratch/$1"
    mkdir -p "$folder"
    cp "$windows_binary" "$folder/quorvel.exe"
    cp "$archiver" "$folder/7z.exe"
    printf '%s' "$folder"
}

# A second run in the folder while the first is working; its text and status are checked
# once the first has ended (this runs inside interrupt_run's command substitution).
second_run() {  # second_run <folder>
    local status=0
    (cd "$1" && "$wine" ./quorvel.exe small.txt small.qv pw > "$scratch/second.txt" 2> /dev/null) ||
        status=$?
    echo "$status" > "$scratch/second.status"
}

# The folders, each made ready for its stage. Encryption reads big.bin, sparse zeros: 3 GiB
# when the cipher stage is to be interrupted (long enough for the second run to start), 64 MiB
# for a slow archiver. Decryption reads big.qv, a signed file that the cipher stage reads to the
# end (1 GiB), or a real encrypted file of 64 MiB of zeros for the archiver to unpack.
make_input() {  # make_input <folder> <size>
    truncate -s "$2" "$1/big.bin"
}
make_encrypted() {  # make_encrypted <folder>
    make_input "$1" 64M
    (cd "$1" && "$wine" ./quorvel.exe big.bin big.qv pw > /dev/null 2>&1) &&
        rm "$1/big.bin"
}
make_signed() {  # make_signed <folder>
    printf '%%quorvel%%' > "$1/big.qv"
    truncate -s $((1024 * 1024 * 1024 + 265)) "$1/big.qv"
}

# stage | QUORVEL_MODE (- for none) | pause of the archiver in ms (- for none) | second run
# meanwhile | arguments...
stages=(
    "packing - 100 true big.bin out.qv pw"
    "encrypting - - second_run big.bin out.qv pw"
    "decrypting - - true big.qv x pw"
    "unpacking - 100 true big.qv x pw"
    "decrypting_for_a_test test - true big.qv x pw"
    "testing test 100 true big.qv x pw"
    "listing_archive list 100 true big.qv x pw"
)
for row in "${stages[@]}"; do
    read -r stage mode pause meanwhile arguments <<< "$row"
    unset COPYING_ARCHIVER_PAUSE_MS QUORVEL_MODE
    rm -f "$read_into"
    folder=$(new_folder "$stage")
    printf 'small' > "$folder/small.txt"
    case $stage in
        packing) make_input "$folder" 64M ;;
        encrypting) make_input "$folder" 3G ;;
        decrypting | decrypting_for_a_test) make_signed "$folder" ;;
        unpacking | testing | listing_archive) make_encrypted "$folder" ;;
    esac
    before=$(listing "$folder")
    temp_before=$(listing "$windows_temp")
    [ "$mode" = - ] || export QUORVEL_MODE="$mode"
    [ "$pause" = - ] || export COPYING_ARCHIVER_PAUSE_MS="$pause"
    # shellcheck disable=SC2086
    status=$(interrupt_run "$folder" "$stage" "$meanwhile" $arguments)
    check "Ctrl+C while $stage: the stage was reached" [ "$(cat "$scratch/reached")" = yes ]
    check "Ctrl+C while $stage: status 1 (got $status)" [ "$status" = 1 ]
    # What the archiver extracted before the interrupt is the user's; the archive is not.
    after=$(listing "$folder" | grep -v '^extracted\.bin ')
    check "Ctrl+C while $stage: no archive, no partial output left" same_text "$before" "$after"
    check "Ctrl+C while $stage: nothing left in the temporary folder" \
        same_text "$temp_before" "$(listing "$windows_temp")"
    # A stand-in still running would go on writing the archive, the extracted file or its copy
    # of the archive it reads.
    sizes=$(listing "$folder"; stat -c %s "$read_into" 2> /dev/null)
    sleep 3
    check "Ctrl+C while $stage: the archiver ended with the run" \
        same_text "$sizes" "$(listing "$folder"; stat -c %s "$read_into" 2> /dev/null)"
    if [ "$meanwhile" = second_run ]; then
        second_status=$(cat "$scratch/second.status" 2> /dev/null)
        check "second run in the folder: status 1 (got $second_status)" [ "$second_status" = 1 ]
        check "second run in the folder: told why" same_text \
            "Error! Another quorvel run is working in this folder." \
            "$(tr -d '\r' < "$scratch/second.txt")"
    fi
done

echo "windows-interrupt: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
