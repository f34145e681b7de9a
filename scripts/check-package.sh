#!/usr/bin/env bash
# Packs a finished build as a Debian package and checks what a desktop user relies on: a valid
# menu entry, the program, updater and icons in the package, no lintian errors, and a clean
# install into and removal from a scratch root.
#   scripts/check-package.sh [build dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(realpath "${1:-build}")

desktop-file-validate resources/ferrydesk.desktop

rm -f "$build_dir"/ferrydesk_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
deb=$(ls "$build_dir"/ferrydesk_*.deb)

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in usr/bin/ferrydesk usr/bin/ferrydesk-update usr/share/applications/ferrydesk.desktop \
            usr/share/icons/hicolor/48x48/apps/ferrydesk.png \
            usr/share/icons/hicolor/256x256/apps/ferrydesk.png \
            usr/share/icons/hicolor/scalable/apps/ferrydesk.svg \
            usr/share/doc/ferrydesk/copyright; do
    grep -qx "./$path" <<<"$contents" || { echo "package lacks $path" >&2; exit 1; }
done

# The keyring needs qtkeychain and the library it loads at run time.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6keychain1 libsecret-1-0; do
    grep -q "$lib" <<<"$depends" || { echo "package does not depend on $lib: $depends" >&2; exit 1; }
done

if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" 2>&1 | grep -v "running with root privileges" || true
    lintian --fail-on error "$deb" >/dev/null 2>&1 || { echo "lintian found errors" >&2; exit 1; }
fi

# A scratch root with an empty package database; the libraries the package depends on are not
# there, so dependencies are not checked, only what the package itself does to the file system.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/var/lib/dpkg/{info,updates,triggers} "$root"/usr/bin "$root"/usr/share
touch "$root"/var/lib/dpkg/status
dpkg_root=(dpkg --root="$root" --force-not-root --force-depends --force-script-chrootless
           --log=/dev/null)
"${dpkg_root[@]}" -i "$deb" >"$root/dpkg.out" 2>&1 || { cat "$root/dpkg.out" >&2; exit 1; }
for path in usr/bin/ferrydesk usr/bin/ferrydesk-update usr/share/applications/ferrydesk.desktop; do
    [ -e "$root/$path" ] || { echo "installed package lacks $path" >&2; exit 1; }
done
desktop-file-validate "$root"/usr/share/applications/ferrydesk.desktop
"${dpkg_root[@]}" -r ferrydesk >"$root/dpkg.out" 2>&1 || { cat "$root/dpkg.out" >&2; exit 1; }
left=$(find "$root" -path "$root/var" -prune -o -type f ! -name dpkg.out -print)
[ -z "$left" ] || { echo "removal left files behind: $left" >&2; exit 1; }
echo "package ok: $(basename "$deb")"
