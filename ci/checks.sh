# shellcheck shell=bash
# Counted checks, for the scripts that check a result step by step and report the totals:
# ci/deb.sh, ci/windows.sh and the Windows end-to-end tests (tests/windows/), which source this
# file. They print every failure and leave the totals in $passed and $failed.
passed=0
failed=0

check() {  # check <description> <command...>: counts, and prints failures
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}

same_text() {  # same_text <expected> <actual>
    if [ "$1" == "$2" ]; then return 0; fi
    echo "--- expected"
    printf '%s' "$1" | cat -A
    echo "--- got"
    printf '%s' "$2" | cat -A
    return 1
}
