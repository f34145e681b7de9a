#!/usr/bin/env bash
# Builds the AddressSanitizer + UndefinedBehaviorSanitizer tree (build-asan/) and lets the window
# monkey loose on the real main window against the stand-in service:
#   scripts/monkey.sh [--minutes N] [--seed S] [--keep-going]
# It prints the seed, the actions done, the checks and every finding (with the seed and the last
# actions); the exit code is non-zero on a finding, a crash or a sanitizer report.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

minutes=2
seed=$(( $(od -An -N4 -tu4 /dev/urandom) ))
extra=()
while [ $# -gt 0 ]; do
    case "$1" in
        --minutes) minutes="$2"; shift 2 ;;
        --seed) seed="$2"; shift 2 ;;
        --keep-going) extra+=(--keep-going); shift ;;
        *) echo "usage: scripts/monkey.sh [--minutes N] [--seed S] [--keep-going]" >&2; exit 2 ;;
    esac
done

cmake_args=(-DCMAKE_BUILD_TYPE=Debug -DFERRYDESK_SANITIZE=ON)
command -v ccache >/dev/null && cmake_args+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-asan "${cmake_args[@]}" >/dev/null
cmake --build build-asan -j"$(nproc)" --target monkey

export QT_QPA_PLATFORM=offscreen
# No real sleep lock from the monkey's transfers.
export FERRYDESK_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/ferrydesk-monkey
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The unoptimised, instrumented build runs about three times slower than a release build, so
# every time limit of the monkey (the 250 ms bound on the event loop among them) is tripled.
exec build-asan/tests/monkey --seed "$seed" --minutes "$minutes" --slow 3 "${extra[@]}"
