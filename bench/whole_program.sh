#!/usr/bin/env bash
# Times the whole program against cp on the same file, in one run, so that the ratios hold
# even on a machine that other work slows down. A stand-in archiver named 7z comes first on
# PATH: its "a" hard-links the input as the archive and its "x" does nothing, so what is timed
# is the program around the cipher stage, not 7-Zip.
#
# Usage: bench/whole_program.sh [path/to/quorvel]
#   (default build/release/app/quorvel; build it with
#    cmake --preset release && cmake --build --preset release)
# Environment: BENCH_DIR   work folder, on tmpfs (default /dev/shm/quorvel-bench)
#              SIZE_MIB    size of the test file in MiB (default 512)
#              REPS        timed runs of each command (default 5)
#
# Prints the median wall time of each command, its speed as a ratio to cp's (cp time divided
# by its time: 1.0 is as fast as cp), and the peak resident memory of the program on a 1 MiB
# and on a SIZE_MIB file.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$here/build/release/app/quorvel}")
bench_dir=${BENCH_DIR:-/dev/shm/quorvel-bench}
size_mib=${SIZE_MIB:-512}
reps=${REPS:-5}
short_password=12345               # 5 bytes: 12 rounds
long_password=12345678901234567    # 17 bytes: 48 rounds

if [[ ! -x $program ]]; then
    echo "No program at $program; build the release preset first." >&2
    exit 1
fi

rm -rf "$bench_dir"
mkdir -p "$bench_dir/stand-in"
trap 'rm -rf "$bench_dir"' EXIT
cd "$bench_dir"

cat > stand-in/7z <<'EOF'
#!/bin/sh
# "7z a ARCHIVE [SWITCHES] -- INPUT" hard-links INPUT (the last argument) as ARCHIVE;
# "7z x ..." extracts nothing.
for input; do :; done
if [ "$1" = a ]; then exec ln -f -- "$input" "$2"; fi
exit 0
EOF
chmod +x stand-in/7z
export PATH="$bench_dir/stand-in:$PATH"

head -c $((size_mib << 20)) /dev/urandom > plain.bin
head -c $((1 << 20)) /dev/urandom > small.bin
"$program" plain.bin short.enc "$short_password" > /dev/null
"$program" plain.bin long.enc "$long_password" > /dev/null
"$program" small.bin small.enc "$short_password" > /dev/null

# Runs one command of the table; the output it leaves is removed after the clock stops.
run_case() {
    case $1 in
        cp) cp plain.bin copy.out ;;
        encrypt-5) "$program" plain.bin out.enc "$short_password" > log.txt 2>&1 ;;
        encrypt-17) "$program" plain.bin out.enc "$long_password" > log.txt 2>&1 ;;
        decrypt-5) "$program" short.enc unused "$short_password" > log.txt 2>&1 ;;
        decrypt-17) "$program" long.enc unused "$long_password" > log.txt 2>&1 ;;
    esac
}

check_case() {
    case $1 in
        encrypt-*) grep -q "Cript complite" log.txt ;;
        decrypt-*) grep -q "Decrypt OK!" log.txt ;;
        *) true ;;
    esac || { echo "$1 failed:" >&2; cat log.txt >&2; exit 1; }
    rm -f copy.out out.enc log.txt quorvelxxxfilo.7z
}

cases=(cp encrypt-5 encrypt-17 decrypt-5 decrypt-17)
declare -A times
for ((rep = 0; rep < reps; rep++)); do
    for name in "${cases[@]}"; do
        start=$(date +%s%N)
        run_case "$name"
        stop=$(date +%s%N)
        times[$name]+="$(( (stop - start) / 1000 )) "
        check_case "$name"
    done
done

median_us() {
    tr ' ' '\n' <<< "$1" | grep . | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
fs_type=$(df --output=fstype . | tail -n 1)
echo "Machine: $model, $(nproc) cores; file: $size_mib MiB in $fs_type; $reps runs each"
printf '%-11s %10s %9s\n' command "median s" "x cp"
cp_us=$(median_us "${times[cp]}")
for name in "${cases[@]}"; do
    us=$(median_us "${times[$name]}")
    printf '%-11s %10.3f %9.2f\n' "$name" "$(bc -l <<< "$us / 1000000")" \
        "$(bc -l <<< "$cp_us / $us")"
done

if [[ -x /usr/bin/time ]]; then
    peak_kib() { /usr/bin/time -f %M "$@" 2>&1 > /dev/null | tail -n 1; }
    echo "Peak resident memory (KiB), 1 MiB file / $size_mib MiB file:"
    small=$(peak_kib "$program" small.bin out.enc "$short_password")
    large=$(peak_kib "$program" plain.bin out.enc "$short_password")
    rm -f out.enc
    echo "  encrypt: $small / $large"
    small=$(peak_kib "$program" small.enc unused "$short_password")
    large=$(peak_kib "$program" short.enc unused "$short_password")
    echo "  decrypt: $small / $large"
else
    echo "Peak resident memory: /usr/bin/time not installed (Debian package 'time')."
fi
