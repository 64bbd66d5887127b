#!/usr/bin/env bash
# Makes both Debian packages from a built build folder with cpack and checks what they hold and
# declare, that the packaged server reads its packaged configuration, and that the unit passes
# systemd-analyze verify where that command exists.
#   packages_test.sh BUILD_DIR WEB(ON|OFF)
set -euo pipefail
build=$(realpath "$1")
web=${2:-OFF}
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-packages-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# has LIST ENTRY: the listing (dpkg-deb -c) holds the path.
has() {
  grep -qE "[[:space:]]\./${2#/}( |$)" <<<"$1" || fail "$3 lacks $2"
}

start=$(date +%s%N)
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
  cat "$work/cpack.log" >&2
  fail "cpack failed"
  exit 1
}
end=$(date +%s%N)
echo "cpack took $(((end - start) / 1000000)) ms"

server=$(ls "$work"/out/velmorastra-server_*.deb)
client=$(ls "$work"/out/velmorastra_*.deb)
ls -l "$server" "$client"

# The server package.
list=$(dpkg-deb -c "$server")
for path in /usr/bin/velmorastra-server /usr/lib/systemd/system/velmorastra-server.service \
            /etc/velmorastra/server.conf; do
  has "$list" "$path" velmorastra-server
done
web_files=(draw.html draw.css velmorastra-web.js velmorastra-web.wasm)
if [ "$web" = ON ]; then
  for file in "${web_files[@]}"; do
    has "$list" "/usr/share/velmorastra/web/$file" velmorastra-server
  done
elif grep -q /usr/share/velmorastra/web <<<"$list"; then
  fail "velmorastra-server holds a browser page the build did not make"
fi
[ "$(dpkg-deb -f "$server" Package)" = velmorastra-server ] || fail "server package name"
depends=$(dpkg-deb -f "$server" Depends)
echo "velmorastra-server Depends: $depends"
for dep in libc6 libsqlite3-0 libpq5 libssl3 adduser; do
  grep -qE "(^|, )$dep( |,|$)" <<<"$depends" || fail "velmorastra-server does not depend on $dep"
done
mkdir "$work/control"
dpkg-deb -e "$server" "$work/control"
grep -qx /etc/velmorastra/server.conf "$work/control/conffiles" ||
  fail "server.conf is no conffile"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script is no shell script"
done
grep -q "adduser --system" "$work/control/postinst" || fail "postinst makes no system user"

root="$work/server-root"
dpkg-deb -x "$server" "$root"
binary="$root/usr/bin/velmorastra-server"
readelf -S "$binary" | grep -q '\.debug_info' && fail "the packaged server is not stripped"
unit="$root/usr/lib/systemd/system/velmorastra-server.service"
grep -qx 'ExecStart=/usr/bin/velmorastra-server --config /etc/velmorastra/server.conf' "$unit" ||
  fail "ExecStart does not run the packaged server with the packaged configuration"
for line in Type=notify User=velmorastra StateDirectory=velmorastra ProtectSystem=strict \
            NoNewPrivileges=yes PrivateTmp=yes ProtectHome=yes; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
grep -qE '^WatchdogSec=[1-9]' "$unit" || fail "the unit sets no watchdog"
conf="$root/etc/velmorastra/server.conf"
grep -qx 'db = /var/lib/velmorastra/server.sqlite' "$conf" || fail "server.conf keeps no data in /var/lib/velmorastra"
if [ "$web" = ON ]; then
  grep -qx 'web-folder = /usr/share/velmorastra/web' "$conf" || fail "server.conf names no page"
else
  grep -qx 'web-folder =' "$conf" || fail "server.conf names a page the package lacks"
fi
# The packaged binary reads the packaged file: every setting known, every value in range.
"$binary" --config "$conf" --help >"$work/help.txt" 2>&1 ||
  { cat "$work/help.txt" >&2; fail "the packaged server refuses its configuration"; }

if command -v systemd-analyze >/dev/null 2>&1; then
  # The binary where verify finds it, the rest as packaged.
  sed "s|^ExecStart=/usr/bin/velmorastra-server |ExecStart=$binary |" "$unit" \
    >"$work/velmorastra-server.service"
  if systemd-analyze verify "$work/velmorastra-server.service" >"$work/verify.log" 2>&1; then
    echo "systemd-analyze verify: passed"
  else
    cat "$work/verify.log" >&2
    fail "systemd-analyze verify"
  fi
else
  echo "no systemd-analyze: the unit is not verified"
fi

# The client package.
list=$(dpkg-deb -c "$client")
for path in /usr/bin/velmorastra /usr/bin/velmorastra-bot /usr/share/applications/velmorastra.desktop \
            /usr/share/icons/hicolor/scalable/apps/velmorastra.svg; do
  has "$list" "$path" velmorastra
done
[ "$(dpkg-deb -f "$client" Package)" = velmorastra ] || fail "client package name"
depends=$(dpkg-deb -f "$client" Depends)
echo "velmorastra Depends: $depends"
for dep in libc6 libqt6core6 libqt6widgets6 libqt6network6; do
  grep -qE "(^|, )$dep( |,|$)" <<<"$depends" || fail "velmorastra does not depend on $dep"
done
grep -q velmorastra-server <<<"$depends" && fail "the client needs no server"
root="$work/client-root"
dpkg-deb -x "$client" "$root"
desktop="$root/usr/share/applications/velmorastra.desktop"
for line in 'Exec=velmorastra %u' 'Icon=velmorastra' 'MimeType=x-scheme-handler/velmorastra;'; do
  grep -qxF "$line" "$desktop" || fail "the desktop entry lacks $line"
done
grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/velmorastra.svg" || fail "the icon is no SVG"
"$root/usr/bin/velmorastra-bot" --help >/dev/null 2>&1 || fail "the packaged bot does not start"

if [ "$failures" -gt 0 ]; then
  echo "$failures failures" >&2
  exit 1
fi
echo "both packages as expected"
