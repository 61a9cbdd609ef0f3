#!/usr/bin/env bash
# Times the whole program against cp and against the ceiling of this machine, in one run, so
# that the ratios hold even on a machine that other work slows down. A stand-in archiver named
# 7z comes first on PATH: its "a" hard-links the input as the archive and its "x" does nothing,
# so what is timed is the program around the cipher stage, not 7-Zip.
#
# The ceiling of a mode is max(cp time, kernel time): with reading, the rounds and writing
# overlapping on two cores, the program can be no faster than copying the file and no faster
# than the rounds alone over the same blocks. The kernel time is the rounds benchmark's time a
# block on the path the program uses (the fastest this CPU has), taken in the same run, times
# the file's blocks.
#
# Usage: bench/whole_program.sh [path/to/quorvel [path/to/quorvel_rounds_bench]]
#   (defaults build/bench/app/quorvel and build/bench/bench/quorvel_rounds_bench; build them
#    with cmake --preset bench && cmake --build --preset bench)
# Environment: BENCH_DIR   work folder, on tmpfs (default /dev/shm/quorvel-bench)
#              SIZE_MIB    size of the test file in MiB (default 512)
#              REPS        timed runs of each command, interleaved (default 7)
#
# Prints, for cp, dd and the four modes, the fastest and the median wall time; the speed
# against cp (cp time divided by the mode's, fastest against fastest: 1.00 is as fast as cp);
# the kernel's time a block and the ceiling; the speed against the ceiling (ceiling divided by
# the mode's fastest time: 1.00 is the ceiling); and the same against the two-core floor. cp
# copies inside the kernel; dd, like the program, reads into a buffer of the stream's chunk
# size (256 KiB, CHUNK_SIZE) and writes it out, on one thread that never waits, so its time is
# the processor time the copy through user space alone takes. The program spends that and the
# rounds' time on two cores, so it can be no faster than half their sum either: the floor is
# max(ceiling, (dd + kernel) / 2). Then the time of removing a file as large (which decryption
# pays for its temporary archive), and the peak resident memory of the program on a 1 MiB and
# on a SIZE_MIB file.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/common.sh
source "$here/bench/common.sh"
program=$(realpath "${1:-$here/build/bench/app/quorvel}")
rounds_bench=$(realpath "${2:-$here/build/bench/bench/quorvel_rounds_bench}")
bench_dir=${BENCH_DIR:-/dev/shm/quorvel-bench}
size_mib=${SIZE_MIB:-512}
reps=${REPS:-7}
short_password=12345               # 5 bytes: 12 rounds
long_password=12345678901234567    # 17 bytes: 48 rounds

for tool in "$program" "$rounds_bench"; do
    if [[ ! -x $tool ]]; then
        echo "No program at $tool; build the bench preset first." >&2
        exit 1
    fi
done

load_at_start=$(cut -d ' ' -f 1-3 /proc/loadavg)

# The path the program uses: the last, fastest, that the benchmark lists for this CPU.
path=$("$rounds_bench" --benchmark_list_tests | sed -n 's|^\(fast_[a-z0-9]*\)/encrypt/12$|\1|p' |
    grep -v single_block | tail -n 1)
# Seconds a block of the rounds on that path, for "encrypt/12" and the like: the median of
# three repetitions.
declare -A kernel_s
while IFS=, read -r name value; do
    kernel_s[$name]=$value
done < <("$rounds_bench" --benchmark_filter="^$path/" --benchmark_min_time=0.3 \
             --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
             --benchmark_format=csv 2> /dev/null |
         awk -F, '$1 ~ /_median"$/ {
                      # "fast_avx512/encrypt/12_median",...,per_block in seconds at the end
                      split($1, part, "/"); sub(/_median"$/, "", part[3])
                      print part[2] "/" part[3] "," $NF
                  }')
for mode in encrypt/12 encrypt/48 decrypt/12 decrypt/48; do
    if [[ -z ${kernel_s[$mode]:-} ]]; then
        echo "The rounds benchmark gave no figure for $mode." >&2
        exit 1
    fi
done

rm -rf "$bench_dir"
mkdir -p "$bench_dir/stand-in"
trap 'rm -rf "$bench_dir"' EXIT
cd "$bench_dir"

cat > stand-in/7z <<'STAND_IN'
#!/bin/sh
# "7z a ARCHIVE [SWITCHES] -- INPUT" hard-links INPUT (the last argument) as ARCHIVE;
# "7z x ..." extracts nothing.
for input; do :; done
if [ "$1" = a ]; then exec ln -f -- "$input" "$2"; fi
exit 0
STAND_IN
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
        dd) dd if=plain.bin of=copy.out bs=256K status=none ;;
        encrypt-12) "$program" plain.bin out.enc "$short_password" > log.txt 2>&1 ;;
        encrypt-48) "$program" plain.bin out.enc "$long_password" > log.txt 2>&1 ;;
        decrypt-12) "$program" short.enc unused "$short_password" > log.txt 2>&1 ;;
        decrypt-48) "$program" long.enc unused "$long_password" > log.txt 2>&1 ;;
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

cases=(cp dd encrypt-12 encrypt-48 decrypt-12 decrypt-48)
# One untimed round first, so that every command starts from warm caches.
for name in "${cases[@]}"; do
    run_case "$name"
    check_case "$name"
done
declare -A times
for ((rep = 0; rep < reps; rep++)); do
    for name in "${cases[@]}"; do
        start=$(date +%s%N)
        run_case "$name"
        stop=$(date +%s%N)
        times[$name]+="$(((stop - start) / 1000)) "
        check_case "$name"
    done
    # Decryption ends by removing its temporary archive, as large as the file: on tmpfs that
    # frees every page of it, which cp, whose copy is removed off the clock, never pays for.
    cp plain.bin removed.bin
    start=$(date +%s%N)
    rm removed.bin
    stop=$(date +%s%N)
    times[rm]+="$(((stop - start) / 1000)) "
done

# The fastest of a list of microsecond times, in seconds (the median: median_s).
fastest_s() { tr ' ' '\n' <<< "$1" | grep . | sort -n | head -n 1 | awk '{print $1 / 1e6}'; }

model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
fs_type=$(df --output=fstype . | tail -n 1)
blocks=$(((size_mib << 20) / 256 + 1))
echo "Machine: $model, $(nproc) cores; file: $size_mib MiB in $fs_type ($blocks blocks)"
echo "Kernel: the rounds benchmark's $path path"
echo "Load average at the start: $load_at_start; at the end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo "Fastest and median of $reps interleaved runs; x cp = cp time / time (fastest);"
echo "ceiling = max(cp, kernel ns a block x blocks); of ceiling = ceiling / time (fastest);"
echo "dd copies through a 256 KiB buffer in user space on one thread, as the program does"
echo "besides its rounds; floor = max(ceiling, (dd + kernel) / 2), the least two cores can do"
printf '%-11s %9s %9s %7s %11s %10s %11s %8s %9s\n' mode "fastest s" "median s" "x cp" \
    "kernel ns" "ceiling s" "of ceiling" "floor s" "of floor"
cp_s=$(fastest_s "${times[cp]}")
dd_s=$(fastest_s "${times[dd]}")
printf '%-11s %9.3f %9.3f %7.2f\n' cp "$cp_s" "$(median_s "${times[cp]}")" 1
printf '%-11s %9.3f %9.3f %7.2f\n' dd "$dd_s" "$(median_s "${times[dd]}")" \
    "$(awk -v a="$cp_s" -v b="$dd_s" 'BEGIN {print a / b}')"
for name in "${cases[@]:2}"; do
    mode=${name/-//}
    time_s=$(fastest_s "${times[$name]}")
    kernel_ns=$(awk -v s="${kernel_s[$mode]}" 'BEGIN {print s * 1e9}')
    ceiling_s=$(awk -v cp="$cp_s" -v s="${kernel_s[$mode]}" -v n="$blocks" \
        'BEGIN {k = s * n; print (k > cp ? k : cp)}')
    floor_s=$(awk -v c="$ceiling_s" -v dd="$dd_s" -v s="${kernel_s[$mode]}" -v n="$blocks" \
        'BEGIN {f = (dd + s * n) / 2; print (f > c ? f : c)}')
    printf '%-11s %9.3f %9.3f %7.2f %11.1f %10.3f %11.2f %8.3f %9.2f\n' "$name" "$time_s" \
        "$(median_s "${times[$name]}")" "$(awk -v a="$cp_s" -v b="$time_s" 'BEGIN {print a / b}')" \
        "$kernel_ns" "$ceiling_s" "$(awk -v a="$ceiling_s" -v b="$time_s" 'BEGIN {print a / b}')" \
        "$floor_s" "$(awk -v a="$floor_s" -v b="$time_s" 'BEGIN {print a / b}')"
done

rm_s=$(fastest_s "${times[rm]}")
echo "Removing a $size_mib MiB file (decryption's temporary archive): fastest $rm_s s; with it"
echo "added to the ceiling, decryption reaches:"
for name in decrypt-12 decrypt-48; do
    mode=${name/-//}
    awk -v cp="$cp_s" -v s="${kernel_s[$mode]}" -v n="$blocks" -v rm="$rm_s" \
        -v t="$(fastest_s "${times[$name]}")" -v name="$name" \
        'BEGIN {k = s * n; c = (k > cp ? k : cp) + rm; printf "  %-11s %.2f of (ceiling + removal)\n", name, c / t}'
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
