#!/usr/bin/env bash
# Times whole encryptions with the real 7-Zip archiver on a generated folder of mixed files,
# with the default pack switches against QUORVEL_PACK_SWITCHES=-mx1, in one run, so that the
# ratio holds even on a machine that other work slows down. Also times the cipher stage alone:
# the same run with a stand-in archiver that links an archive packed beforehand.
#
# Usage: bench/whole_run_pack.sh [path/to/quorvel]
#   (default build/release/app/quorvel; build it with
#    cmake --preset release && cmake --build --preset release)
# Environment: BENCH_DIR  work folder (default /dev/shm/quorvel-pack-bench)
#              SCALE_MIB  size of each of the four parts of the folder (default 40)
#              REPS       timed runs of each case (default 1)
#
# The folder (about 4 x SCALE_MIB, generated the same way every time):
#   text/    log-like lines from a fixed seed, in 1 MiB files (compresses well)
#   binary/  pseudo-random bytes (AES-CTR of zeros under a fixed key), in 4 MiB files
#   gz/      gzip -n of more generated text (already compressed)
#   media/   pseudo-random bytes named .jpg, in 8 MiB files (already compressed)
# Prints the median wall time of each case and the ratio default / -mx1.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/common.sh
source "$here/bench/common.sh"
program=$(realpath "${1:-$here/build/release/app/quorvel}")
bench_dir=${BENCH_DIR:-/dev/shm/quorvel-pack-bench}
scale=${SCALE_MIB:-40}
reps=${REPS:-1}
password=12345

require_program "$program" release
archiver=$(find_archiver)

rm -rf "$bench_dir"
mkdir -p "$bench_dir"/{mixed/text,mixed/binary,mixed/gz,mixed/media,stand-in}
trap 'rm -rf "$bench_dir"' EXIT
cd "$bench_dir"

# Deterministic pseudo-random bytes: $1 MiB from the key stream of seed $2.
random_mib() {
    head -c $(($1 << 20)) /dev/zero |
        openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$2")" -iv 0 2> /dev/null
}

# Deterministic text (for a given awk): about $1 MiB of log-like lines from seed $2.
text_mib() {
    awk -v seed="$2" -v bytes=$(($1 << 20)) 'BEGIN {
        srand(seed)
        split("open close read write sync retry commit fetch parse store", verb)
        split("alpha beta gamma delta epsilon zeta eta theta", name)
        while (total < bytes) {
            line = sprintf("2026-01-%02d %02d:%02d:%02d %s %s/%d took %d ms status %d",
                           1 + int(rand() * 28), int(rand() * 24), int(rand() * 60),
                           int(rand() * 60), verb[1 + int(rand() * 10)],
                           name[1 + int(rand() * 8)], int(rand() * 100000),
                           int(rand() * 2000), rand() < 0.9 ? 200 : 500)
            print line
            total += length(line) + 1
        }
    }'
}

echo "Generating the folder ($((4 * scale)) MiB or so)..." >&2
for ((i = 0; i < scale; i++)); do text_mib 1 "$i" > "mixed/text/log-$i.txt"; done
for ((i = 0; i < scale / 4; i++)); do random_mib 4 "$((1000 + i))" > "mixed/binary/blob-$i.bin"; done
for ((i = 0; i < scale / 8; i++)); do
    text_mib 32 "$((2000 + i))" | gzip -n -6 > "mixed/gz/archive-$i.log.gz"
done
for ((i = 0; i < scale / 8; i++)); do random_mib 8 "$((3000 + i))" > "mixed/media/photo-$i.jpg"; done
folder_mib=$(du -sm mixed | cut -f1)

# The cipher stage alone: an archive packed with the default switches, linked in by a stand-in.
"$archiver" a premade.7z -- mixed > /dev/null
cat > stand-in/7z <<EOF2
#!/bin/sh
if [ "\$1" = a ]; then exec ln -f "$bench_dir/premade.7z" "\$2"; fi
exit 0
EOF2
chmod +x stand-in/7z
archive_mib=$(du -m premade.7z | cut -f1)

run_case() {
    unset QUORVEL_PACK_SWITCHES
    case $1 in
        default) "$program" mixed out.enc "$password" ;;
        mx1) QUORVEL_PACK_SWITCHES=-mx1 "$program" mixed out.enc "$password" ;;
        cipher-only) PATH="$bench_dir/stand-in:$PATH" "$program" mixed out.enc "$password" ;;
    esac > log.txt 2>&1
    grep -q "Cript complite" log.txt || { echo "$1 failed:" >&2; cat log.txt >&2; exit 1; }
    rm -f out.enc log.txt
}

cases=(default mx1 cipher-only)
declare -A times
for ((rep = 0; rep < reps; rep++)); do
    for name in "${cases[@]}"; do
        start=$(date +%s%N)
        run_case "$name"
        stop=$(date +%s%N)
        times[$name]+="$(( (stop - start) / 1000 )) "
    done
done

model=$(lscpu | sed -n 's/^Model name:[[:space:]]*//p' | head -n 1)
echo "Machine: $model, $(nproc) cores; folder: $folder_mib MiB; default archive: $archive_mib MiB;" \
    "$reps run(s) each"
default_s=$(median_s "${times[default]}")
mx1_s=$(median_s "${times[mx1]}")
cipher_s=$(median_s "${times[cipher-only]}")
printf '%-34s %9s\n' case "median s"
printf '%-34s %9s\n' "encrypt, default switches" "$default_s"
printf '%-34s %9s\n' "encrypt, QUORVEL_PACK_SWITCHES=-mx1" "$mx1_s"
printf '%-34s %9s\n' "cipher stage (default archive)" "$cipher_s"
echo "ratio default / -mx1: $(bc -l <<< "scale=2; $default_s / $mx1_s")"
echo "cipher stage share of the default run: $(bc -l <<< "scale=3; $cipher_s / $default_s")"
