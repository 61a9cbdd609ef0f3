# shellcheck shell=bash
# What the whole-program benchmarks share; sourced, not run.

# Exits unless $1 is an executable program, naming the preset ($2) that builds it.
require_program() {
    if [[ ! -x $1 ]]; then
        echo "No program at $1; build the $2 preset first." >&2
        exit 1
    fi
}

# Prints the archiver the program itself picks, the first of 7z, 7zz, 7za on PATH; fails
# (which ends a script under set -e) when there is none.
find_archiver() {
    command -v 7z || command -v 7zz || command -v 7za || {
        echo "No 7-Zip archiver (7z, 7zz or 7za) on PATH; scripts/install-deps installs it." >&2
        return 1
    }
}

# The median of a list of microsecond times, in seconds with three decimals.
median_s() {
    tr ' ' '\n' <<< "$1" | grep . | sort -n |
        awk '{v[NR] = $1} END {printf "%.3f", v[int((NR + 1) / 2)] / 1000000}'
}
