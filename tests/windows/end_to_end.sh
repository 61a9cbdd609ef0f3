#!/bin/bash
# quorvel.exe under Wine with a real Windows 7-Zip, against the Linux build with the Linux
# 7-Zip: the same runs in both, the same console text (the archiver's own lines aside, Windows
# line ends read as "\n"), the same files back, and each side decrypts what the other made.
#
# Usage: end_to_end.sh <quorvel.exe> <Linux quorvel> <Windows 7z.exe or 7za.exe>
# Needs wine (WINE may name another loader), and 7z, 7zz or 7za on PATH for the Linux build.
set -uo pipefail

windows_binary=$(realpath "$1")
linux_binary=$(realpath "$2")
windows_archiver=$(realpath "$3")
wine=${WINE:-wine}
export WINEDEBUG=${WINEDEBUG:--all}
# Wine turns the command line into Unicode by the locale, and takes its code page from it too:
# in C.UTF-8 the Windows side has code page 1252.
export LC_ALL=C.UTF-8

# A folder name with a space and an ampersand: 7z.exe is found beside quorvel.exe (which runs
# in its own folder), so its full path, handed to CreateProcessW, holds both.
scratch=$(mktemp -d)
[ -n "${KEEP_SCRATCH:-}" ] || trap 'rm -rf "$scratch"' EXIT
root="$scratch/e2e & co"
mkdir -p "$root"

# shellcheck source=ci/checks.sh
source "$(dirname "$0")/../../ci/checks.sh"

# The program's own console text: Windows line ends read as "\n", and the archiver's output cut
# where it runs: after the echoed pack command's closing "!" until the cipher stage starts, and
# after "Decrypt OK!". A failed pack leaves the archiver's lines in, so the texts differ.
# "[end]" closes the text so that $(...) keeps its last line break.
program_text() {  # program_text <file>
    perl -0777 -pe 's/\r\n/\n/g;
        s/(\n7z\.exe a quorvelxxxfilo\.7z [^\n]*\n!).*?(Crypt process start!\n)/$1$2/s;
        s/(Decrypt OK!\n).*/$1/s;
        $_ .= "[end]"' "$1"
}

# The program's own lines on standard error ("quorvel: error: ...", hints, warnings) go to
# <output file>.why on both sides, so that standard output is compared apart from them, and
# they are compared too (at the end).
run_windows() {  # run_windows <folder> <output file> <arguments...>; prints the exit status
    local folder=$1 output=$2 status
    shift 2
    (cd "$folder" && "$wine" ./quorvel.exe "$@" > "$output" 2> "$output.err")
    status=$?
    grep -a '^quorvel: ' "$output.err" | tr -d '\r' > "$output.why"
    grep -av '^quorvel: ' "$output.err" >> "$scratch/wine.log"
    rm -f "$output.err"
    echo $status
}

run_linux() {  # run_linux <folder> <output file> <arguments...>; prints the exit status
    local folder=$1 output=$2 status
    shift 2
    (cd "$folder" && "$linux_binary" "$@" > "$output.all" 2>&1)
    status=$?
    grep -a '^quorvel: ' "$output.all" > "$output.why"
    grep -av '^quorvel: ' "$output.all" > "$output"
    rm -f "$output.all"
    echo $status
}

# A fresh folder for one side of one case; the Windows one holds quorvel.exe and 7z.exe.
new_folder() {  # new_folder <side> <name>
    local folder="$root/$1-$2"
    mkdir -p "$folder"
    if [ "$1" = windows ]; then
        cp "$windows_binary" "$folder/quorvel.exe"
        cp "$windows_archiver" "$folder/7z.exe"
    fi
    printf '%s' "$folder"
}

# What a folder should hold: the given names, and the programs on the Windows side.
listing() {  # listing <side> <name>...
    local side=$1
    shift
    {
        printf '%s\n' "$@"
        [ "$side" = windows ] && printf '%s\n' quorvel.exe 7z.exe
    } | LC_ALL=C sort
}

make_input() {  # make_input <folder> <name> <kind>
    local path="$1/$2"
    if [ "$3" = folder ]; then
        mkdir -p "$path/inner folder"
        printf 'top\n' > "$path/top.txt"
        printf 'a&b\n' > "$path/inner folder/a&b.txt"
        head -c 70000 /dev/zero | tr '\0' 'z' > "$path/inner folder/with space.bin"
    else
        head -c 5000 /dev/urandom > "$path"
    fi
}

expected_encrypt() {  # expected_encrypt <name> [text before the pack echo]
    printf 'Crypt run\n%s!\n7z.exe a quorvelxxxfilo.7z %s\n!' "${2:-}" "$1"
    printf 'Crypt process start!\nCript complite\n[end]'
}
DECRYPT_OK=$'Decrypt process start!\nDecrypt OK!\n[end]'

# One input encrypted and decrypted on both sides; each side also decrypts the other's file.
round_trip() {  # round_trip <label> <name> <kind>
    local label=$1 name=$2 kind=$3
    local side folder status
    local -A enc_text dec_text
    make_input "$root" "original-$label" "$kind"
    for side in windows linux; do
        folder=$(new_folder "$side" "enc-$label")
        cp -r "$root/original-$label" "$folder/$name"
        status=$(run_$side "$folder" "$root/$side-$label.enc.txt" "$name" "out file.qv" secret)
        check "$label: $side encrypts (status $status)" [ "$status" = 0 ]
        enc_text[$side]=$(program_text "$root/$side-$label.enc.txt")
        check "$label: $side leaves nothing but the output" \
            same_text "$(listing "$side" "$name" "out file.qv")" "$(ls -A "$folder")"

        folder=$(new_folder "$side" "dec-$label")
        cp "$root/$side-enc-$label/out file.qv" "$folder/"
        status=$(run_$side "$folder" "$root/$side-$label.dec.txt" "out file.qv" x secret)
        check "$label: $side decrypts (status $status)" [ "$status" = 0 ]
        dec_text[$side]=$(program_text "$root/$side-$label.dec.txt")
        check "$label: $side gives the input back" diff -r "$root/original-$label" "$folder/$name"
        check "$label: $side leaves nothing but what was packed" \
            same_text "$(listing "$side" "$name" "out file.qv")" "$(ls -A "$folder")"
    done
    check "$label: encrypt text as expected" \
        same_text "$(expected_encrypt "$name")" "${enc_text[windows]}"
    check "$label: encrypt text same on both" same_text "${enc_text[linux]}" "${enc_text[windows]}"
    check "$label: decrypt text as expected" same_text "$DECRYPT_OK" "${dec_text[windows]}"
    check "$label: decrypt text same on both" same_text "${dec_text[linux]}" "${dec_text[windows]}"

    for side in windows linux; do
        local other=linux
        [ "$side" = linux ] && other=windows
        folder=$(new_folder "$side" "cross-$label")
        cp "$root/$other-enc-$label/out file.qv" "$folder/"
        status=$(run_$side "$folder" "$root/$side-$label.cross.txt" "out file.qv" x secret)
        check "$label: $side decrypts the $other file" [ "$status" = 0 ]
        check "$label: $side restores the $other input" \
            diff -r "$root/original-$label" "$folder/$name"
    done
}

round_trip file plan.txt file
round_trip folder "my folder" folder
round_trip spaces "name with spaces.txt" file
round_trip ampersand "a&b.txt" file
round_trip non-ascii "café plán 计划.txt" file
# Names that 7-Zip, splitting its own command line, must take as one name and not as switches.
round_trip switch-words "a -sdel b.txt" file
round_trip leading-dash "-sdel.txt" file

# A folder named with a trailing backslash: 7-Zip takes no backslash as an escape, so the
# quoted word keeps it and the quote after it still ends the word.
folder=$(new_folder windows backslash)
make_input "$folder" "my folder" folder
status=$(run_windows "$folder" "$root/windows-backslash.enc.txt" "my folder\\" out.qv secret)
check "trailing backslash: Windows encrypts (status $status)" [ "$status" = 0 ]
check "trailing backslash: encrypt text" same_text "$(expected_encrypt "my folder\\")" \
    "$(program_text "$root/windows-backslash.enc.txt")"
mv "$folder/my folder" "$root/original-backslash"
status=$(run_windows "$folder" "$root/windows-backslash.dec.txt" out.qv x secret)
check "trailing backslash: Windows decrypts (status $status)" [ "$status" = 0 ]
check "trailing backslash: the folder comes back" \
    diff -r "$root/original-backslash" "$folder/my folder"
check "trailing backslash: nothing else made" \
    same_text "$(listing windows "my folder" out.qv)" "$(ls -A "$folder")"

# The names and contents of everything in a folder, to tell that a run changed nothing.
snapshot() {  # snapshot <folder>
    (cd "$1" && find . -printf '%y %p\n' | LC_ALL=C sort &&
        find . -type f -exec cksum {} + | LC_ALL=C sort)
}

# A switch holding a double quote is refused on both sides before anything is made. On Windows
# 7-Zip would read the words after it at other boundaries: -x!"*.bak with the input
# "My Documents" packed the folder "Documents" beside it, and -x!foo" with the input
# "a -sdel b.txt" packed b.txt and deleted it.
refused_switch() {  # refused_switch <label> <switches> <input> <kind> <name beside> <kind>
    local label=$1 switches=$2 input=$3 input_kind=$4 beside=$5 beside_kind=$6
    local side folder before status
    local -A text
    for side in windows linux; do
        folder=$(new_folder "$side" "refused-$label")
        make_input "$folder" "$input" "$input_kind"
        make_input "$folder" "$beside" "$beside_kind"
        before=$(snapshot "$folder")
        status=$(QUORVEL_PACK_SWITCHES=$switches \
            "run_$side" "$folder" "$root/$side-refused-$label.txt" "$input" out.qv secret)
        check "$label: $side refuses (status $status)" [ "$status" = 1 ]
        check "$label: $side makes, packs and deletes nothing" \
            same_text "$before" "$(snapshot "$folder")"
        text[$side]=$(program_text "$root/$side-refused-$label.txt")
    done
    check "$label: refusal text as expected" same_text "Crypt run
Error! QUORVEL_PACK_SWITCHES holds '$switches', which would move where the archiver's \
arguments begin and end on Windows: a switch cannot hold a double quote.
[end]" "${text[windows]}"
    check "$label: refusal text same on both" same_text "${text[linux]}" "${text[windows]}"
}

refused_switch quote-opens '-x!"*.bak' "My Documents" folder Documents folder
refused_switch quote-closes '-x!foo"' "a -sdel b.txt" file b.txt file

# Usage text and exit status 2, on both.
for side in windows linux; do
    folder=$(new_folder "$side" usage)
    status=$(run_$side "$folder" "$root/$side-usage.txt" only two)
    check "usage: $side exits with 2 (status $status)" [ "$status" = 2 ]
done
check "usage: same text on both" \
    same_text "$(program_text "$root/linux-usage.txt")" "$(program_text "$root/windows-usage.txt")"

# A wrong password: "Decrypt WRONG!", status 1, the decrypted archive left in place.
folder=$(new_folder windows wrong)
cp "$root/windows-enc-file/out file.qv" "$folder/"
status=$(run_windows "$folder" "$root/windows-wrong.txt" "out file.qv" x not-the-secret)
check "wrong password: status 1 (got $status)" [ "$status" = 1 ]
check "wrong password: text" same_text $'Decrypt process start!\nDecrypt WRONG!\n[end]' \
    "$(program_text "$root/windows-wrong.txt")"
check "wrong password: archive kept" [ -e "$folder/quorvelxxxfilo.7z" ]

# A key file made on Windows (the system's random source) decrypts on Linux. The output
# exists already and is replaced whole.
folder=$(new_folder windows keyfile)
make_input "$folder" plan.txt file
printf 'an older output' > "$folder/out.qv"
status=$(run_windows "$folder" "$root/windows-keyfile.txt" plan.txt out.qv pw "my key.bin")
check "key file: Windows encrypts (status $status)" [ "$status" = 0 ]
check "key file: text" \
    same_text "$(expected_encrypt plan.txt $'Key file is successfully created!\n')" \
    "$(program_text "$root/windows-keyfile.txt")"
check "key file: 3072 bytes" [ "$(stat -c %s "$folder/my key.bin")" = 3072 ]
check "key file: nothing else left" \
    same_text "$(listing windows "my key.bin" out.qv plan.txt)" "$(ls -A "$folder")"
linux_folder=$(new_folder linux keyfile)
cp "$folder/out.qv" "$folder/my key.bin" "$linux_folder/"
status=$(run_linux "$linux_folder" "$root/linux-keyfile.txt" out.qv x pw "my key.bin")
check "key file: Linux decrypts the Windows file (status $status)" [ "$status" = 0 ]
check "key file: Linux restores the input" cmp -s "$folder/plan.txt" "$linux_folder/plan.txt"

# A non-ASCII password reaches the key schedule as its code-page bytes: "ä" is 0xE4 in code
# page 1252, so the Linux build opens the file with that byte and not with UTF-8's two.
folder=$(new_folder windows password)
make_input "$folder" plan.txt file
status=$(run_windows "$folder" "$root/windows-password.txt" plan.txt out.qv "pässwort")
check "code-page password: Windows encrypts (status $status)" [ "$status" = 0 ]
linux_folder=$(new_folder linux password)
cp "$folder/out.qv" "$linux_folder/"
status=$(run_linux "$linux_folder" "$root/linux-password.txt" out.qv x $'p\xe4sswort')
check "code-page password: Linux decrypts with byte 0xE4 (status $status)" [ "$status" = 0 ]
check "code-page password: input restored" cmp -s "$folder/plan.txt" "$linux_folder/plan.txt"
rm -f "$linux_folder/plan.txt"
status=$(run_linux "$linux_folder" "$root/linux-password-utf8.txt" out.qv x "pässwort")
check "code-page password: UTF-8 bytes do not decrypt (status $status)" [ "$status" = 1 ]

# A test and a listing (QUORVEL_MODE=test, list) extract nothing: each side decrypts into its
# temporary folder only (Wine gives the Windows side its own, whatever TMPDIR says), the
# Windows program with the real Windows 7-Zip says what the Linux one says (the archiver's
# lines and the temporary file's name aside) with the same status, and neither leaves anything
# in its folder or its temporary folder, after "Decrypt WRONG!" too.
windows_temp_name=$("$wine" cmd /c 'echo %TEMP%' 2>> "$scratch/wine.log" | tr -d '\r')
windows_temp=$("$wine" winepath -u "$windows_temp_name" 2>> "$scratch/wine.log")
linux_temp="$root/linux temp"
mkdir -p "$linux_temp"

# The program's console text of a test or a listing: Windows line ends read as "\n", the
# temporary file's name as ARCHIVE and the archiver's lines cut, up to the last line.
check_text() {  # check_text <file>
    perl -0777 -pe 's/\r\n/\n/g;
        s/(\n7z\.exe [tl] )[^\n]*\n/$1ARCHIVE\n/;
        s/(\n7z\.exe [tl] ARCHIVE\n!\n).*?((?:Test OK!|List OK!|Error! [^\n]*)\n)$/$1$2/s;
        $_ .= "[end]"' "$1"
}

# Whether the output names a temporary file in <folder> in its echoed command.
echoes_archive_in() {  # echoes_archive_in <output file> <folder as the program names it>
    perl -ne 'BEGIN { $folder = shift } s/\r?\n$//;
        $seen = 1 if /^7z\.exe [tl] (.*)$/ && index($1, "$folder") == 0 &&
            substr($1, length $folder) =~ /^[\\\/]quorvel-check-\d+(\.tmp)?$/;
        END { exit !$seen }' "$2" "$1"
}

# A test or a listing of <encrypted file> on both sides, ending with <status> and, on Windows,
# <expected text> (check_text, without the last line break and "[end]").
check_run() {  # check_run <label> <mode> <encrypted file> <password> <status> <expected text>
    local label=$1 mode=$2 encrypted=$3 password=$4 want=$5 expected=$6
    local side folder status before temp temp_name temp_before name
    local -A text
    name=$(basename "$encrypted")
    for side in windows linux; do
        folder=$(new_folder "$side" "check-$label")
        cp "$encrypted" "$folder/"
        temp=$linux_temp temp_name=$linux_temp
        [ "$side" = windows ] && temp=$windows_temp temp_name=$windows_temp_name
        before=$(snapshot "$folder")
        temp_before=$(snapshot "$temp")
        # TMPDIR for the Linux side only: Wine would make its server's folder there.
        if [ "$side" = linux ]; then
            status=$(QUORVEL_MODE=$mode TMPDIR=$linux_temp \
                run_linux "$folder" "$root/linux-check-$label.txt" "$name" x "$password")
        else
            status=$(QUORVEL_MODE=$mode \
                run_windows "$folder" "$root/windows-check-$label.txt" "$name" x "$password")
        fi
        check "$label: $side ends with status $want (got $status)" [ "$status" = "$want" ]
        check "$label: $side leaves its folder as it was" same_text "$before" "$(snapshot "$folder")"
        check "$label: $side leaves its temporary folder as it was" \
            same_text "$temp_before" "$(snapshot "$temp")"
        if [ "$status" = 0 ]; then
            check "$label: $side decrypts into its temporary folder" \
                echoes_archive_in "$root/$side-check-$label.txt" "$temp_name"
        fi
        text[$side]=$(check_text "$root/$side-check-$label.txt")
    done
    check "$label: text as expected" same_text "$expected"$'\n[end]' "${text[windows]}"
    check "$label: text same on both" same_text "${text[linux]}" "${text[windows]}"
}

checked_text() {  # checked_text <command letter> <last line>
    printf 'Decrypt process start!\nDecrypt OK!\n!\n7z.exe %s ARCHIVE\n!\n%s' "$1" "$2"
}

# An encrypted file whose check block holds but whose archive does not: a stored archive with a
# byte of its file data changed, encrypted by the Linux program through a stand-in archiver
# that hands it over as packed.
damaged_folder="$root/damaged"
mkdir -p "$damaged_folder/bin"
printf 'the plans\n' > "$damaged_folder/plan.txt"
linux_archiver=$(command -v 7z || command -v 7zz || command -v 7za)
(cd "$damaged_folder" && "$linux_archiver" a -mx0 stored.7z plan.txt > /dev/null)
# A stored archive's file data starts right after its 32-byte signature header.
printf 'X' | dd of="$damaged_folder/stored.7z" bs=1 seek=32 conv=notrunc 2> /dev/null
cat > "$damaged_folder/bin/7z" << EOF
#!/bin/sh
[ "\$1" = a ] && exec cp -- "$damaged_folder/stored.7z" "\$2"
EOF
chmod +x "$damaged_folder/bin/7z"
(cd "$damaged_folder" && PATH="$damaged_folder/bin:$PATH" "$linux_binary" plan.txt damaged.qv pw \
    > /dev/null)

check_run file-test test "$root/windows-enc-file/out file.qv" secret 0 \
    "$(checked_text t 'Test OK!')"
check_run folder-list list "$root/windows-enc-folder/out file.qv" secret 0 \
    "$(checked_text l 'List OK!')"
check_run wrong-test test "$root/windows-enc-file/out file.qv" not-the-secret 1 \
    $'Decrypt process start!\nDecrypt WRONG!'
check_run damaged-test test "$damaged_folder/damaged.qv" pw 1 \
    "$(checked_text t "Error! The archive in 'damaged.qv' failed 7-Zip's test.")"
check_run damaged-list list "$damaged_folder/damaged.qv" pw 0 "$(checked_text l 'List OK!')"

# What each side said on standard error of its own, case by case: the same lines. (The
# key-file and password cases encrypt on one side and decrypt on the other.)
for linux_why in "$root"/linux-*.why; do
    windows_why="$root/windows-${linux_why#"$root"/linux-}"
    label=$(basename "$linux_why" .why)
    case $label in linux-keyfile* | linux-password*) continue ;; esac
    [ -f "$windows_why" ] || continue
    check "${label#linux-}: standard error's lines same on both" \
        same_text "$(cat "$linux_why")" "$(cat "$windows_why")"
done

echo "windows-e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
