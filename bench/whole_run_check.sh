#!/usr/bin/env bash
# Times a test and a listing (QUORVEL_MODE=test, list) of an encrypted stored archive against
# what they are made of: 7-Zip's own "t" or "l" of the same archive, plus the cipher stage. The
# cipher stage is timed as a test whose stand-in archiver does nothing, so it holds the
# decryption into the temporary folder, the removal of the decrypted archive and the program's
# start. All cases run in turn in each round, so that the ratios hold on a machine that other
# work slows down.
#
# Usage: bench/whole_run_check.sh [path/to/quorvel]
#   (default build/release/app/quorvel; build it with
#    cmake --preset release && cmake --build --preset release)
# Environment: BENCH_DIR  work folder, also the temporary folder of the runs
#                         (default /dev/shm/quorvel-check-bench)
#              SIZE_MIB   size of the data packed (default 1024), in 8 files
#              REPS       timed rounds (default 3)
#
# The data is pseudo-random bytes (AES-CTR of zeros under fixed keys), packed with -mx0 (stored)
# into one archive, which the program encrypts once through a stand-in archiver that hands it
# over as packed. Prints the median wall time of each case and the ratios
# test / (7z t + cipher stage) and list / (7z l + cipher stage).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/common.sh
source "$here/bench/common.sh"
program=$(realpath "${1:-$here/build/release/app/quorvel}")
bench_dir=${BENCH_DIR:-/dev/shm/quorvel-check-bench}
size=${SIZE_MIB:-1024}
reps=${REPS:-3}
password=12345

require_program "$program" release
archiver=$(find_archiver)

rm -rf "$bench_dir"
mkdir -p "$bench_dir"/{data,stand-in,idle,tmp}
trap 'rm -rf "$bench_dir"' EXIT
cd "$bench_dir"

echo "Generating and packing $size MiB..." >&2
for ((i = 0; i < 8; i++)); do
    head -c $((size << 17)) /dev/zero |
        openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$((4000 + i))")" -iv 0 \
            2> /dev/null > "data/part-$i.bin"
done
"$archiver" a -mx0 stored.7z -- data > /dev/null
rm -rf data
archive_mib=$(du -m stored.7z | cut -f1)

# Encrypts the stored archive as it is: the stand-in links it in as the packed archive.
cat > stand-in/7z << EOF
#!/bin/sh
if [ "\$1" = a ]; then exec ln -f "$bench_dir/stored.7z" "\$2"; fi
exit 0
EOF
chmod +x stand-in/7z
PATH="$bench_dir/stand-in:$PATH" "$program" stored.7z stored.qv "$password" > /dev/null
# The cipher stage alone: a test whose archiver does nothing.
cat > idle/7z << 'EOF'
#!/bin/sh
exit 0
EOF
chmod +x idle/7z

run_case() {
    case $1 in
        7z-t) "$archiver" t stored.7z > /dev/null ;;
        7z-l) "$archiver" l stored.7z > /dev/null ;;
        cipher-stage) QUORVEL_MODE=test PATH="$bench_dir/idle:$PATH" TMPDIR="$bench_dir/tmp" \
            "$program" stored.qv x "$password" > log.txt ;;
        test) QUORVEL_MODE=test TMPDIR="$bench_dir/tmp" "$program" stored.qv x "$password" \
            > log.txt ;;
        list) QUORVEL_MODE=list TMPDIR="$bench_dir/tmp" "$program" stored.qv x "$password" \
            > log.txt ;;
    esac
    if [[ -f log.txt ]]; then
        grep -Eq '^(Test|List) OK!$' log.txt || { echo "$1 failed:" >&2; cat log.txt >&2; exit 1; }
        rm log.txt
    fi
}

cases=(7z-t 7z-l cipher-stage test list)
declare -A times
for name in "${cases[@]}"; do run_case "$name"; done # one untimed round: the caches settle
for ((rep = 0; rep < reps; rep++)); do
    for name in "${cases[@]}"; do
        start=$(date +%s%N)
        run_case "$name"
        stop=$(date +%s%N)
        times[$name]+="$(((stop - start) / 1000)) "
    done
done

model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
echo "Machine: $model, $(nproc) cores; archive: $archive_mib MiB stored, in $bench_dir;" \
    "archiver: $archiver; $reps round(s); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-14s %9s\n' case "median s"
for name in "${cases[@]}"; do printf '%-14s %9s\n' "$name" "$(median_s "${times[$name]}")"; done
t=$(median_s "${times[7z-t]}")
l=$(median_s "${times[7z-l]}")
c=$(median_s "${times[cipher-stage]}")
ratio() { awk -v run="$1" -v parts="$2" 'BEGIN { printf "%.3f", run / parts }'; }
echo "test / (7z t + cipher stage): $(ratio "$(median_s "${times[test]}")" "$(bc <<< "$t + $c")")"
echo "list / (7z l + cipher stage): $(ratio "$(median_s "${times[list]}")" "$(bc <<< "$l + $c")")"
