#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks the installed program on its own: that it
# starts on the offscreen platform, that it reads its bundle's information from where it was
# installed, and that its desktop entry is valid and names an installed icon.
#
#   InstallTest.sh BUILD-FOLDER CMAKE BUNDLE-IDENTIFIER BUNDLE-NAME VERSION
#
# Everything it writes is below one temporary folder: the install, the user folders and the
# hosts file the application is pointed at.
set -euo pipefail
build=$1 cmake=$2 identifier=$3 name=$4 version=$5

work=$(mktemp -d "${TMPDIR:-/tmp}/qm-install.XXXXXX")
app_pid=
cleanup() {
  if [ -n "$app_pid" ]; then kill -KILL "$app_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

prefix=/usr
root="$work/dest$prefix"
DESTDIR="$work/dest" "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install failed (is the quillmere target built?)"; }

entry="$root/share/applications/$identifier.desktop"
for file in bin/quillmere bin/quillmere-flush-dns share/quillmere/Info.plist; do
  [ -e "$root/$file" ] || fail "not installed: $prefix/$file"
done
[ -x "$root/bin/quillmere-flush-dns" ] || fail "the flush helper is not executable"
[ -f "$entry" ] || fail "no desktop entry at $entry"

# --- the desktop entry ---------------------------------------------------------------------------
command -v desktop-file-validate >/dev/null || fail "desktop-file-validate is missing: run scripts/setup"
# Hints and warnings count too: the entry is ours, so nothing in it needs excusing.
report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate rejects the entry: $report"
[ -z "$report" ] || fail "desktop-file-validate: $report"

value() { sed -n "s/^$1=//p" "$entry"; }
icon=$(value Icon)
[ -n "$icon" ] || fail "the entry names no icon"
[ -s "$root/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the entry's icon $icon is not installed"
grep -q "<svg" "$root/share/icons/hicolor/scalable/apps/$icon.svg" || fail "the icon is no SVG"
[ "$(value Exec)" = "$prefix/bin/quillmere" ] || fail "Exec is $(value Exec), not the installed executable"
# The application names Qt (and so its window class) after CFBundleName.
[ "$(value StartupWMClass)" = "$name" ] || fail "StartupWMClass is $(value StartupWMClass), not $name"

# --- the installed application -------------------------------------------------------------------
home="$work/home"
mkdir -p "$home" "$work/runtime"
chmod 700 "$work/runtime"
printf '127.0.0.1 localhost\n' >"$work/hosts"
run=(env -u QM_BUNDLE_PATH -u DISPLAY -u WAYLAND_DISPLAY
  HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_CACHE_HOME="$home/cache"
  XDG_RUNTIME_DIR="$work/runtime" DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus"
  QT_QPA_PLATFORM=offscreen QM_HOSTS_PATH="$work/hosts" QM_LOG_PATH="$work/quillmere.log" QM_FLUSH_COMMAND=true
  "$root/bin/quillmere")

# A full start: the launch counter, the last start-up step, lands in the defaults file named after
# the bundle identifier; a copy that found no information would name it after the process.
defaults="$home/config/$identifier.plist"
"${run[@]}" >"$work/app.log" 2>&1 &
app_pid=$!
for _ in $(seq 600); do
  if [ -f "$defaults" ] && grep -aq launchCount "$defaults"; then break; fi
  kill -0 "$app_pid" 2>/dev/null || break
  sleep 0.05
done
[ -f "$defaults" ] && grep -aq launchCount "$defaults" ||
  { cat "$work/app.log"; ls -R "$home" >&2; fail "the installed application did not finish launching"; }
[ -d "$home/data/$name" ] || fail "the store is not in the folder named after the bundle ($home/data/$name)"
kill -TERM "$app_pid"
status=0
wait "$app_pid" || status=$?
app_pid=
[ "$status" -eq 0 ] || { cat "$work/app.log"; fail "the application ended with $status on SIGTERM"; }
[ "$(cat "$work/hosts")" = "127.0.0.1 localhost" ] || fail "the hosts file changed"

# The identifier and version as the application reads them, first as installed, then after the
# installed Info.plist changed: the value follows the installed file, not any other copy.
shown=$(timeout 30 "${run[@]}" --version) || fail "quillmere --version failed"
[ "$shown" = "$name $version ($identifier)" ] || fail "--version says '$shown'"
sed -i '/<key>CFBundleShortVersionString<\/key>/{n;s|<string>.*</string>|<string>0.0.1-installed</string>|}' \
  "$root/share/quillmere/Info.plist"
shown=$(timeout 30 "${run[@]}" --version) || fail "quillmere --version failed"
[ "$shown" = "$name 0.0.1-installed ($identifier)" ] || fail "--version after the edit says '$shown'"
echo "installed into $prefix and checked: $shown"
