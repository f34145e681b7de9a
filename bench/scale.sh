#!/usr/bin/env bash
# Scale benchmark of the engine against the stand-in service: prints one line per measure.
#   bench/scale.sh                 builds ferryscale (Release) and runs every measure
# Environment: SCALE_TRANSFERS (default 10000), SCALE_RESTORE (default 9950),
# SCALE_LISTING (default 100000), SCALE_RESUMED (default 50), BENCH_BUILD_DIR (default build-bench).
# The service builds its listing answers once at start: the listing figure is the client's.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$SRC/build-bench}
TRANSFERS=${SCALE_TRANSFERS:-10000}
RESTORE=${SCALE_RESTORE:-9950}
RESUMED=${SCALE_RESUMED:-50}
LISTING=${SCALE_LISTING:-100000}

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$BUILD" --target ferryscale -j2 >/dev/null
export QT_LOGGING_RULES='*.debug=false'
export QT_QPA_PLATFORM=offscreen
# The listing measure materialises a folder of $SCALE_LISTING files first.
export FERRYDESK_STANDIN_READY_MS=${FERRYDESK_STANDIN_READY_MS:-600000}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$BUILD/bench/ferryscale" uploads "$TRANSFERS"
"$BUILD/bench/ferryscale" downloads "$TRANSFERS"
"$BUILD/bench/ferryscale" restore "$RESTORE"
# Event-loop lateness while the link answers of n queued downloads arrive (target p99 < 50 ms).
"$BUILD/bench/ferryscale" answers "$TRANSFERS" "$RESUMED"
# Its files live in memory: on a disk the service needs minutes to write them.
TMPDIR=${SCALE_LISTING_TMP:-/dev/shm} "$BUILD/bench/ferryscale" listing "$LISTING"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
