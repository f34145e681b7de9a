#!/usr/bin/env bash
# Kills the client with SIGKILL again and again while it moves files, starts it again each
# time, and at the end checks every file on both sides: nothing lost, doubled or damaged.
#   scripts/chaos.sh [--cycles N] [--seed S] [--aim EVENT:N[:MS]] [--keep]
# Each cycle starts tests/chaos/chaosclient (the real window, offscreen) with the same HOME
# against one stand-in service, with random network faults armed, and kills it:
#   after a random delay, from outside (kill -9);
#   or at an exact moment, from inside (CHAOS_KILL, see chaosclient.cpp): the login; the Nth
#   transfer a restore brings back; just before or just after the Nth history save puts its
#   new file in place (SAVING, SAVED); just before or after the Nth finished download's
#   partial file is renamed (RENAMING, RENAMED); some ms after the Nth finished download or
#   upload (DOWNLOADED, UPLOADED). --aim EVENT:N[:MS] takes that aim in every cycle.
# A start with nothing left to resume queues a new round. A last start without kills and
# faults finishes everything; then every planned transfer must be there exactly once.
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=5 seed=1 keep=0 fixed=
while [ $# -gt 0 ]; do
    case "$1" in
    --cycles) cycles=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --aim) fixed=$2; shift 2 ;;
    --keep) keep=1; shift ;; # the logs stay also when all went well
    *) echo "usage: $0 [--cycles N] [--seed S] [--aim EVENT:N[:MS]] [--keep]" >&2; exit 2 ;;
    esac
done
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build build -j2 --target chaosclient >/dev/null

work=$(mktemp -d /tmp/chaos.XXXXXX)
home=$work/home
mkdir -p "$home/.dftp"
printf '[General]\nLastUserName=chaos\nLastPassWord=chaos\nMinToTray=false\nOSStart=false\nShowDownloadList=false\n' \
    > "$home/.dftp/Ferrydesk.ini"
/usr/bin/python3 standin/ferrystandin.py --scenario tests/chaos/chaos.json --state-dir "$work/state" \
    > "$work/ready" 2> "$work/standin.log" &
standin_pid=$!
client_pid=
cleanup() {
    local rc=$?
    [ -n "$client_pid" ] && kill -9 "$client_pid" 2>/dev/null
    kill "$standin_pid" 2>/dev/null
    if [ $keep = 1 ] || [ $rc != 0 ]; then echo "logs: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
for _ in $(seq 1 100); do grep -q '^READY' "$work/ready" && break; sleep 0.2; done
http=$(sed -nE 's/.*http=([0-9]+).*/\1/p' "$work/ready")
[ -n "$http" ] || { echo "stand-in service failed to start" >&2; exit 1; }
control() { curl -sf "http://127.0.0.1:$http/_control/$1" ${2:+-H 'Content-Type: application/json' -d "$2"}; }

export HOME=$home QT_QPA_PLATFORM=offscreen FERRYDESK_SERVICE_HOST=127.0.0.1 \
    FERRYDESK_SERVICE_PORT=$http FERRYDESK_SECURE_PORT=$(sed -nE 's/.*https=([0-9]+).*/\1/p' "$work/ready") \
    FERRYDESK_CA_FILE=$(sed -nE 's/.*ca=([^ ]+).*/\1/p' "$work/ready") FERRYDESK_TIME_SCALE=0.05 \
    FERRYDESK_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/ferrydesk-chaos

# Faults the client must ride out on its own (no final refusals; a dropped link request of a
# started download ends it in the error list with its reason, which counts as told, not lost).
# The first armed fault that matches a request fires, so the throttles that slow every transfer
# of the cycle come last.
faults() {
    local bytes=$((20000 + RANDOM % 400000)) list=""
    local pool=("{\"kind\":\"download\",\"action\":\"cut\",\"bytes\":$bytes}"
        "{\"kind\":\"download\",\"action\":\"stall\",\"bytes\":$bytes,\"seconds\":2}"
        '{"kind":"download","action":"drop"}' "{\"kind\":\"ftp-stor\",\"action\":\"cut\",\"bytes\":$bytes}"
        '{"kind":"ftp-size","action":"drop"}' '{"kind":"ftp-login","action":"max_clients"}'
        '{"kind":"upload_done","action":"drop"}' '{"kind":"dlfile","action":"drop"}'
        '{"kind":"listing","action":"drop"}')
    for _ in $(seq $((RANDOM % 3))); do list+="${pool[RANDOM % ${#pool[@]}]},"; done
    list+="{\"kind\":\"download\",\"action\":\"throttle\",\"kbps\":$((200 + RANDOM % 1300)),\"times\":0}"
    echo "[$list,{\"kind\":\"ftp-stor\",\"action\":\"throttle\",\"kbps\":$((200 + RANDOM % 1300)),\"times\":0}]"
}

# Runs the client once (log file, CHAOS_KILL, a delay in ms after READY for a kill from
# outside, 0 for none); $outcome is its exit code: 137 killed, 124 still running at the deadline.
run() {
    : > "$1"
    CHAOS_KILL=$2 build/tests/chaosclient >> "$1" 2> "$1.err" &
    client_pid=$!
    local deadline=$((SECONDS + ${TIMEOUT:-60})) hung=0
    if [ "$3" -gt 0 ]; then
        while kill -0 $client_pid 2>/dev/null && ! grep -q '^READY' "$1" && [ $SECONDS -lt $deadline ]; do
            sleep 0.05
        done
        sleep "$(printf '%d.%03d' $(($3 / 1000)) $(($3 % 1000)))"
        kill -9 $client_pid 2>/dev/null && echo "KILL from outside, READY +$3 ms" >> "$1"
    fi
    while kill -0 $client_pid 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
    kill -9 $client_pid 2>/dev/null && hung=1
    outcome=0
    wait $client_pid 2>/dev/null || outcome=$?
    [ $hung = 0 ] || outcome=124
    client_pid=
}

RANDOM=$seed
kills=0 hangs=0
aims=("" "" "" LOGGED_IN:1 RESTORING SAVING SAVED RENAMING RENAMED DOWNLOADED UPLOADED)
for cycle in $(seq 1 "$cycles"); do
    control reset '{}' > /dev/null
    control faults "$(faults)" > /dev/null
    aim=${aims[RANDOM % ${#aims[@]}]} delay=0
    case "$aim" in
    "") delay=$((300 + RANDOM % 6000)) ;;
    RESTORING) aim+=":$((1 + RANDOM % 7))" ;;
    SAVING | SAVED | RENAMING | RENAMED) aim+=":$((1 + RANDOM % 4))" ;;
    DOWNLOADED | UPLOADED) aim+=":$((1 + RANDOM % 3)):$((RANDOM % 600))" ;;
    esac
    [ -z "$fixed" ] || aim=$fixed delay=0
    log=$work/run-$cycle.log
    run "$log" "$aim" "$delay" 2>/dev/null # not bash's word on each kill
    what=$(grep -E '^(KILL|ALL_DONE|LEFTOVER)' "$log" | tail -1 || true)
    case $outcome in
    137) kills=$((kills + 1)) ;;
    0 | 3) ;;
    *) hangs=$((hangs + 1)); what="exit $outcome (hang or crash)" ;;
    esac
    printf 'cycle %3d  %-40s %s\n' "$cycle" "${aim:-delay ${delay}ms}" "$what"
done

# The last start: no faults, no kill, until nothing is left.
control reset '{}' > /dev/null
for attempt in 1 2 3; do
    CHAOS_NO_NEW=1 TIMEOUT=300 run "$work/final-$attempt.log" "" 0 2>/dev/null
    [ $outcome = 0 ] && break
done
control "files?user=chaos" > "$work/files.json"

/usr/bin/python3 - "$home" "$work" "$cycles" "$kills" "$hangs" "$outcome" <<'EOF'
import glob, hashlib, json, os, re, sys
home, work, cycles, kills, hangs, last = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:])
files = json.load(open(work + "/files.json"))
sha = lambda p: hashlib.sha256(open(p, "rb").read()).hexdigest()
finished, told = {}, {}
for log in glob.glob(work + "/*.log"):
    round = "?"
    for line in open(log, errors="replace"):
        if line.startswith("READY "):
            round = line.split()[-1]
        if line.startswith(("DOWNLOADED ", "UPLOADED ")):
            name = "r%s/%s" % (round, os.path.basename(line.split(" ", 1)[1].strip()))
            finished[name] = finished.get(name, 0) + 1
        # Failed for good and shown in the error list with its reason: told, not lost.
        if line.startswith("FAILED "):
            path, _, reason = line[7:].strip().partition(" | ")
            told[path] = reason
transfers = verified = 0
lost, doubled, corrupt, notes, failed = [], [], [], [], []
planned_names = set()
for plan in sorted(glob.glob(home + "/chaos/r*.plan")):
    for line in open(plan).read().split("\n"):
        if not line:
            continue
        kind, path, *rest = line.split(" ")
        transfers += 1
        name = os.path.basename(path)
        if kind == "down":
            entry = files.get(rest[0], {})
            if not os.path.isfile(path):
                (failed if path in told else lost).append(path)
            elif sha(path) != entry.get("sha256"):
                corrupt.append(path)
            else:
                verified += entry["size"]
            continue
        planned_names.add(name)
        on_service = [f for f in files.values() if f["name"] == name]
        if not on_service:
            (failed if path in told else lost).append(path)
        elif len(on_service) > 1:
            doubled.append("%s registered %d times" % (name, len(on_service)))
        if on_service and on_service[0]["sha256"] != sha(path):
            corrupt.append(path + " on the service")
        elif on_service:
            verified += os.path.getsize(path)
    folder = home + "/Downloads/" + os.path.basename(plan)[:-5]
    wanted = {os.path.basename(l.split(" ")[1]) for l in open(plan) if l.startswith("down ")}
    for extra in sorted(set(os.listdir(folder)) - wanted):
        (notes if extra.endswith(".part") else doubled).append(folder + "/" + extra)
for f in files.values():
    if re.match(r"r\d+-u", f["name"]) and f["name"] not in planned_names:
        doubled.append("unplanned upload " + f["name"])
for name, n in sorted(finished.items()):
    if n > 1:
        notes.append("%s finished %d times" % (name, n))
left = glob.glob(home + "/.dftp/transfers_chaos.*")
if left:
    notes.append("temporary history files left: %d" % len(left))
for title, items in (("LOST", lost), ("DOUBLED", doubled), ("CORRUPT", corrupt), ("note", notes)):
    for item in items:
        print("%s: %s" % (title, item))
for path in failed:
    print("FAILED (in the error list): %s: %s" % (path, told[path]))
print("cycles %d, kills %d, transfers %d, bytes verified %d, lost %d, doubled %d, corrupt %d, "
      "hangs %d, failed for good %d" % (cycles, kills, transfers, verified, len(lost), len(doubled),
                                   len(corrupt), hangs, len(failed)))
sys.exit(1 if lost or doubled or corrupt or hangs or last != 0 else 0)
EOF
