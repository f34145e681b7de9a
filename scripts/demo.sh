#!/usr/bin/env bash
# Installs what is missing, builds Ferrydesk, starts the stand-in service with the demo account
# and opens the client against it. The demo keeps its own HOME (.demo-home/) so that your real
# settings are never touched, and no session bus, so that your keyring is never touched either;
# the client logs in to the demo account by itself.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target ferrydesk

demo_home="$PWD/.demo-home"
mkdir -p "$demo_home/.dftp" "$demo_home/Downloads"
ini="$demo_home/.dftp/Ferrydesk.ini"
# FERRYDESK_DEMO_LOGIN=dialog: start without a stored account, so the login dialog opens.
if [ "${FERRYDESK_DEMO_LOGIN:-}" = dialog ]; then
    [ -f "$ini" ] || printf '[General]\nMinToTray=false\nOSStart=false\nShowDownloadList=false\nleftDirectory=%s\n' \
        "$demo_home/Downloads" > "$ini"
    sed -i '/^LastUserName=/d;/^LastPassWord=/d' "$ini"
elif ! grep -q '^LastUserName=' "$ini" 2>/dev/null; then
    # The demo opens on its own download folder, without the pasted-links dialog.
    printf '[General]\nLastUserName=demo\nLastPassWord=demo\nMinToTray=false\nOSStart=false\nShowDownloadList=false\nleftDirectory=%s\n' \
        "$demo_home/Downloads" > "$ini"
fi

ready=$(mktemp)
/usr/bin/python3 standin/ferrystandin.py --scenario standin/demo.json \
    --http-port "${FERRYDESK_DEMO_PORT:-56666}" --https-port 0 --ftp-port 0 > "$ready" &
standin_pid=$!
cleanup() { kill "$standin_pid" 2>/dev/null; rm -f "$ready"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
for _ in $(seq 1 100); do
    grep -q '^READY' "$ready" && break
    kill -0 $standin_pid 2>/dev/null || { echo "stand-in service failed to start" >&2; exit 1; }
    sleep 0.2
done
line=$(grep '^READY' "$ready")
http=$(sed -E 's/.*http=([0-9]+).*/\1/' <<< "$line")
https=$(sed -E 's/.*https=([0-9]+).*/\1/' <<< "$line")
ca=$(sed -E 's/.*ca=([^ ]+).*/\1/' <<< "$line")
echo "Stand-in service: http://127.0.0.1:$http (https $https); demo account demo / demo"

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running headless (QT_QPA_PLATFORM=offscreen)." >&2
    export QT_QPA_PLATFORM=offscreen
fi
# The service's web pages (help, file links) live on the stand-in's http port too. Neither the
# session bus nor the system bus is yours: the demo's password must not land in your keyring, its
# notices on your desktop, nor its transfers hold a real sleep lock.
HOME="$demo_home" DBUS_SESSION_BUS_ADDRESS="unix:path=$demo_home/no-session-bus" \
    FERRYDESK_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/ferrydesk-demo \
    FERRYDESK_SERVICE_HOST=127.0.0.1 FERRYDESK_SERVICE_PORT="$http" \
    FERRYDESK_SECURE_PORT="$https" FERRYDESK_CA_FILE="$ca" \
    FERRYDESK_WEB_BASE="http://127.0.0.1:$http" ./build/ferrydesk
