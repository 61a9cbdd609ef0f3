#!/bin/bash
# Ctrl+C under Wine: quorvel.exe interrupted in the middle of its cipher stage leaves neither
# the plaintext archive nor a partial output, in both directions. Wine turns SIGINT sent to a
# Windows console process into a Ctrl+C event for it. While the first run works, a second one
# in the same folder is refused.
#
# Usage: interrupt.sh <quorvel.exe> <copying archiver .exe>
# The archiver stand-in copies the input as the archive ("a") so that packing a large input is
# quick and the cipher stage is long enough to be interrupted.
set -uo pipefail

windows_binary=$(realpath "$1")
archiver=$(realpath "$2")
wine=${WINE:-wine}
export WINEDEBUG=${WINEDEBUG:--all}

scratch=$(mktemp -d)
[ -n "${KEEP_SCRATCH:-}" ] || trap 'rm -rf "$scratch"' EXIT

# shellcheck source=tests/windows/checks.sh
source "$(dirname "$0")/checks.sh"

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

# Runs quorvel.exe in <folder> with the arguments, runs <meanwhile> (a command, or "true") once
# the cipher stage writes a file other than <known> ones, then sends SIGINT to the run and
# prints its exit status.
interrupt_run() {  # interrupt_run <folder> <known names, space separated> <meanwhile> <arguments...>
    local folder=$1 known=$2 meanwhile=$3
    shift 3
    (cd "$folder" && exec "$wine" ./quorvel.exe "$@" > "$scratch/out.txt" 2> /dev/null) &
    local launcher=$! waited=0 pid=""
    # shellcheck disable=SC2086
    until growing_file "$folder" $known > /dev/null; do
        sleep 0.1
        waited=$((waited + 1))
        [ "$waited" -gt 1200 ] && break
    done
    "$meanwhile" "$folder"
    pid=$(pgrep -f "^\./quorvel\.exe $1 " | head -1)
    [ -n "$pid" ] && kill -INT "$pid"
    wait "$launcher"
    echo $?
}

listing() {  # listing <folder>: the names in it, one a line, dot files included
    find "$1" -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort
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

# Encryption: 3 GiB of zeros (sparse), interrupted while the output is being written; large
# enough for the second run to start while the first still works.
folder=$(new_folder encrypt)
truncate -s 3G "$folder/big.bin"
printf 'small' > "$folder/small.txt"
before=$(listing "$folder")
status=$(interrupt_run "$folder" "big.bin quorvel.exe 7z.exe quorvelxxxfilo.7z" second_run \
    big.bin out.qv pw)
check "encryption interrupted: status 1 (got $status)" [ "$status" = 1 ]
second_status=$(cat "$scratch/second.status" 2> /dev/null)
check "second run in the folder: status 1 (got $second_status)" [ "$second_status" = 1 ]
check "second run in the folder: told why" same_text \
    "Error! Another quorvel run is working in this folder." "$(tr -d '\r' < "$scratch/second.txt")"

check "encryption interrupted: no archive, no partial output left" \
    same_text "$before" "$(listing "$folder")"

# Decryption: a signed file of 1 GiB, interrupted while the archive is being written.
folder=$(new_folder decrypt)
printf '%%quorvel%%' > "$folder/big.qv"
truncate -s $((1024 * 1024 * 1024 + 265)) "$folder/big.qv"
before=$(listing "$folder")
status=$(interrupt_run "$folder" "big.qv quorvel.exe 7z.exe" true big.qv x pw)
check "decryption interrupted: status 1 (got $status)" [ "$status" = 1 ]
check "decryption interrupted: no plaintext archive left" \
    same_text "$before" "$(listing "$folder")"

echo "windows-interrupt: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
