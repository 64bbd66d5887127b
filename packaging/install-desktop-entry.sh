#!/usr/bin/env bash
# Registers the velmorastra:// link scheme for the current user: installs the .desktop file
# with the absolute path of a built client, and its icon, and makes it the scheme's handler.
#   packaging/install-desktop-entry.sh [path/to/velmorastra]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
client=$(realpath "${1:-$here/../build-run/src/app/velmorastra}")
[ -x "$client" ] || { echo "no client at $client; build it first (scripts/run.sh)" >&2; exit 1; }
apps=${XDG_DATA_HOME:-$HOME/.local/share}/applications
mkdir -p "$apps"
sed "s|^Exec=velmorastra |Exec=$client |" "$here/velmorastra.desktop" > "$apps/velmorastra.desktop"
icons=${XDG_DATA_HOME:-$HOME/.local/share}/icons/hicolor/scalable/apps
mkdir -p "$icons"
cp "$here/velmorastra.svg" "$icons/velmorastra.svg"
command -v update-desktop-database >/dev/null && update-desktop-database "$apps" || true
command -v xdg-mime >/dev/null && xdg-mime default velmorastra.desktop x-scheme-handler/velmorastra || true
echo "installed $apps/velmorastra.desktop"
