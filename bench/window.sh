#!/usr/bin/env bash
# Main-window figures: a listing of 20,000 entries from di_contentsChanged to the painted
# remote pane (and whether it created any file), the cold start to a shown, logged-in
# window against the stand-in service with its resident memory, and the event loop's
# lateness while F3 downloads a remote folder of 10,000 files (target: p99 < 50 ms).
#   bench/window.sh            builds windowbench and queuebench (Release) into build-bench/,
#                              runs all three
# Environment: BENCH_ENTRIES (default 20000), BENCH_RUNS (default 3), BENCH_FOLDER_FILES
# (default 10000), BENCH_BUILD_DIR.
# Runs under Xvfb when xvfb-run is installed, otherwise on the offscreen platform.
set -euo pipefail

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BENCH_BUILD_DIR:-$SRC/build-bench}
ENTRIES=${BENCH_ENTRIES:-20000}
FOLDER_FILES=${BENCH_FOLDER_FILES:-10000}
RUNS=${BENCH_RUNS:-3}
PY=/usr/bin/python3

WORK=$(mktemp -d /tmp/windowbench.XXXXXX)
STANDIN_PID=
cleanup() {
    [ -n "$STANDIN_PID" ] && kill "$STANDIN_PID" 2>/dev/null && wait "$STANDIN_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== building (Release) in $BUILD"
cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target windowbench queuebench -j2 >"$WORK/build.log" 2>&1 ||
    { tail -40 "$WORK/build.log" >&2; exit 1; }
BENCH="$BUILD/bench/windowbench"

"$PY" "$SRC/standin/ferrystandin.py" --scenario "$SRC/standin/demo.json" \
    --http-port 0 --https-port 0 --ftp-port 0 >"$WORK/ready" 2>"$WORK/standin.log" &
STANDIN_PID=$!
for _ in $(seq 1 100); do grep -q '^READY' "$WORK/ready" && break; sleep 0.2; done
line=$(grep '^READY' "$WORK/ready") || { echo "stand-in service did not start" >&2; exit 1; }
export FERRYDESK_SERVICE_HOST=127.0.0.1
export FERRYDESK_SERVICE_PORT=$(sed -E 's/.*http=([0-9]+).*/\1/' <<<"$line")
export FERRYDESK_SECURE_PORT=$(sed -E 's/.*https=([0-9]+).*/\1/' <<<"$line")
export FERRYDESK_CA_FILE=$(sed -E 's/.*ca=([^ ]+).*/\1/' <<<"$line")
export FERRYDESK_NONINTERACTIVE=1
export QT_LOGGING_RULES='*.debug=false'

run() {
    export TMPDIR="$WORK/tmp-$RANDOM"
    mkdir -p "$TMPDIR"
    export HOME="$WORK/home-$RANDOM"
    mkdir -p "$HOME/.dftp"
    printf '[General]\nLastUserName=demo\nLastPassWord=demo\nShowDownloadList=false\n' \
        >"$HOME/.dftp/Ferrydesk.ini"
    if command -v xvfb-run >/dev/null; then
        xvfb-run -a -s "-screen 0 1280x900x24" "$BENCH" "$@" 2>/dev/null
    else
        QT_QPA_PLATFORM=offscreen "$BENCH" "$@" 2>/dev/null
    fi
}

echo "== $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
for _ in $(seq 1 "$RUNS"); do run listing "$ENTRIES"; done
for _ in $(seq 1 "$RUNS"); do run coldstart; done
# The folder download brings its own stand-in service (a tree of FOLDER_FILES small files).
BENCH="$BUILD/bench/queuebench"
for _ in $(seq 1 "$RUNS"); do run folder "$FOLDER_FILES"; done
