#!/usr/bin/env bash
# Builds the Debian package with CPack from a packaging build tree and checks
# it without installing it: control fields, file list, desktop entry,
# AppStream metadata, manual pages, the user manual, the launcher, and one
# text delivered by the unpacked isdn-exchange and zoemlijn-cli.
#
#   tests/package/check-deb.sh BUILD_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  # SIGTERM, never SIGKILL: libcapi20 frees its application ids on a clean exit.
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

echo "--- cpack"
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
deb=$work/out/zoemlijn_0.0.5_amd64.deb
[ -f "$deb" ] || { ls -l "$work/out" >&2; echo "FAIL: no $deb" >&2; exit 1; }

echo "--- control fields"
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = zoemlijn ] || fail "Package: $(field Package)"
[ "$(field Version)" = 0.0.5 ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = comm ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Description | wc -l)" -gt 3 ] || fail "Description without a long part"
depends=$(field Depends)
echo "Depends: $depends"
# Named by hand (libcapi20 is loaded at run time) and found by
# dpkg-shlibdeps (Qt, the C++ library).
dep_names=$(sed 's/([^)]*)//g; s/ //g' <<<"$depends" | tr ',' '\n')
for dep in libcapi20-3 qt6-translations-l10n libphonenumber8 libqt6multimedia6 libqt6svg6 libqt6widgets6 libqt6network6 libqt6dbus6 libstdc++6 libc6; do
  grep -qxF "$dep" <<<"$dep_names" || fail "Depends lacks $dep"
done

# The sound of a wave file goes through libpulse to the desktop's server.
grep -q 'pipewire-pulse | pulseaudio' <<<"$(field Recommends)" || fail "Recommends: $(field Recommends)"

echo "--- file list"
dpkg-deb --contents "$deb" >"$work/contents"
awk '{print $6}' "$work/contents" | sed 's|^\./|/|; s|/$||' | grep -v '^$' >"$work/paths"
expected=(
  /usr/bin/zoemlijn /usr/bin/zoemlijn-cli /usr/bin/isdn-exchange
  /usr/libexec/zoemlijn/zoemlijn-launch
  /usr/share/applications/zoemlijn.desktop
  /usr/share/metainfo/nl.vlinderwerk.zoemlijn.metainfo.xml
  /usr/share/icons/hicolor/scalable/apps/zoemlijn.svg
  /usr/share/man/man1/zoemlijn.1.gz /usr/share/man/man1/zoemlijn-cli.1.gz
  /usr/share/man/man1/isdn-exchange.1.gz
  /usr/share/doc/zoemlijn/copyright /usr/share/doc/zoemlijn/changelog.gz
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/zoemlijn.png")
done
# The user manual, which Help opens, with every screenshot beside it.
manual=/usr/share/doc/zoemlijn/handleiding
expected+=("$manual/index.html")
for png in "$source"/docs/handleiding/*.png; do
  expected+=("$manual/$(basename "$png")")
done
for path in "${expected[@]}"; do
  grep -qxF "$path" "$work/paths" || fail "missing $path"
done
# Nothing but the expected files and their folders.
while read -r path; do
  printf '%s\n' "${expected[@]}" | grep -qxF "$path" || fail "unexpected file $path"
done < <(awk '$1 !~ /^d/ {print $6}' "$work/contents" | sed 's|^\./|/|')
while read -r line; do
  fail "owner or mode: $line"
done < <(grep -v '^drwxr-xr-x root/root\|^-rw-r--r-- root/root\|^-rwxr-xr-x root/root' "$work/contents")
for exe in /usr/bin/zoemlijn /usr/bin/zoemlijn-cli /usr/bin/isdn-exchange /usr/libexec/zoemlijn/zoemlijn-launch; do
  grep -q "^-rwxr-xr-x root/root .* \.$exe\$" "$work/contents" || fail "$exe is not 0755 root"
done

root=$work/root
dpkg-deb -x "$deb" "$root"

echo "--- programs"
for exe in zoemlijn zoemlijn-cli isdn-exchange; do
  info=$(file -b "$root/usr/bin/$exe")
  grep -q 'ELF 64-bit' <<<"$info" && grep -q ', stripped' <<<"$info" || fail "$exe: $info"
  ! readelf -d "$root/usr/bin/$exe" | grep -Eq 'RPATH|RUNPATH' || fail "$exe carries a run path"
done
for size in 16 22 24 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/zoemlijn.png
  file -b "$png" | grep -q "PNG image data, $size x $size" || fail "$png: $(file -b "$png")"
done

echo "--- user manual"
index=$root$manual/index.html
# Help opens the manual where the package puts it.
grep -qF "$manual/index.html" < <(strings "$root/usr/bin/zoemlijn") || fail "zoemlijn does not open $manual/index.html"
images=$(grep -o '<img [^>]*src="[^"]*"' "$index" | sed 's/.*src="//; s/"$//' | sort -u)
[ "$(wc -w <<<"$images")" -ge 10 ] || fail "the manual shows too few images: $images"
for image in $images; do
  if [[ $image == */* || $image == *:* ]]; then
    fail "the manual's image $image is not beside it"
    continue
  fi
  file -b "$root$manual/$image" | grep -q '^PNG image data' || fail "the manual's image $image is not in the package"
done
# One page that stands alone: nothing fetched from elsewhere, no scripts.
grep -Eiq '(src|href)="(https?:|//|/|file:)' "$index" && fail "the manual loads something from elsewhere"
grep -Eiq '<script|<link|@import' "$index" && fail "the manual has scripts or outside style sheets"
grep -q 'lang="nl"' "$index" || fail "the manual is not marked as Dutch"

echo "--- desktop entry"
desktop=$root/usr/share/applications/zoemlijn.desktop
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate failed"
[ -z "$out" ] || fail "desktop-file-validate: $out"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[ "$exec_line" = /usr/libexec/zoemlijn/zoemlijn-launch ] || fail "Exec=$exec_line"
grep -qx 'Icon=zoemlijn' "$desktop" || fail "Icon is not zoemlijn"
grep -qx 'Name=Zoemlijn' "$desktop" || fail "Name is not Zoemlijn"

echo "--- AppStream"
metainfo=$root/usr/share/metainfo/nl.vlinderwerk.zoemlijn.metainfo.xml
out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
grep -q '^[EW]:' <<<"$out" && fail "appstreamcli validate: $out"
out=$(appstreamcli validate-tree --no-net --pedantic "$root" 2>&1) || fail "appstreamcli validate-tree: $out"
grep -q '^[EW]:' <<<"$out" && fail "appstreamcli validate-tree: $out"
grep -q '<release version="0.0.5"' "$metainfo" || fail "no release 0.0.5"
grep -q '<launchable type="desktop-id">zoemlijn.desktop</launchable>' "$metainfo" || fail "launchable"

echo "--- manual pages"
for page in zoemlijn zoemlijn-cli isdn-exchange; do
  man_file=$root/usr/share/man/man1/$page.1.gz
  # As lintian reads them: any groff warning is a fault.
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$man_file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page.1: $warnings"
  text=$(MANWIDTH=80 man -l "$man_file" 2>/dev/null)
  for want in NAAM OVERZICHT AFSLUITSTATUS BESTANDEN VOORBEELDEN .capi20rc; do
    grep -q "$want" <<<"$text" || fail "$page.1 lacks $want"
  done
  lexgrog "$man_file" >/dev/null || fail "$page.1: no whatis entry"
done

echo "--- launcher"
# The menu's launcher, with the window replaced by pwd: it must start in
# $XDG_DATA_HOME/Zoemlijn, made when missing, or ~/.local/share/Zoemlijn.
sed 's|^exec .*|exec pwd|' "$root/usr/libexec/zoemlijn/zoemlijn-launch" >"$work/launch"
[ "$(HOME=$work/h XDG_DATA_HOME=$work/xdg sh "$work/launch")" = "$work/xdg/Zoemlijn" ] || fail "launcher ignores XDG_DATA_HOME"
[ "$(HOME=$work/h XDG_DATA_HOME= sh "$work/launch")" = "$work/h/.local/share/Zoemlijn" ] || fail "launcher default folder"
[ "$(HOME=$work/h XDG_DATA_HOME=relative sh "$work/launch")" = "$work/h/.local/share/Zoemlijn" ] || fail "launcher takes a relative XDG_DATA_HOME"
grep -qx 'exec "/usr/bin/zoemlijn" "$@"' "$root/usr/libexec/zoemlijn/zoemlijn-launch" || fail "launcher does not start /usr/bin/zoemlijn"

echo "--- one text through the unpacked isdn-exchange and zoemlijn-cli"
bin=$root/usr/bin
called=0301111111
caller=0302222222
"$bin/isdn-exchange" --line "$called=0" --line "$caller=0" >"$work/exchange.out" 2>"$work/exchange.err" &
pids+=($!)
port() { sed -n "s/^listening $1 127\.0\.0\.1:\([0-9]*\)$/\1/p" "$work/exchange.out"; }
for _ in $(seq 100); do
  [ -n "$(port $called)" ] && [ -n "$(port $caller)" ] && break
  sleep 0.1
done
[ -n "$(port $called)" ] && [ -n "$(port $caller)" ] || { cat "$work/exchange.out" "$work/exchange.err" >&2; fail "exchange did not start"; exit 1; }
for line in called caller; do
  mkdir -p "$work/home-$line"
  number=${!line}
  printf 'REMOTE rcapi 127.0.0.1 %s\nTRACELEVEL 0\n' "$(port "$number")" >"$work/home-$line/.capi20rc"
done

HOME=$work/home-called "$bin/zoemlijn-cli" listen --count 1 >"$work/listen.out" 2>"$work/listen.err" &
listener=$!
pids+=($listener)
for _ in $(seq 100); do
  grep -q 'wacht op teksten' "$work/listen.err" && break
  sleep 0.1
done
grep -q 'wacht op teksten' "$work/listen.err" || fail "listener did not start: $(cat "$work/listen.err")"

status=0
sent=$(HOME=$work/home-caller timeout 30 "$bin/zoemlijn-cli" send "$called" "uit het pakket" 2>&1) || status=$?
echo "$sent"
[ "$status" -eq 0 ] || fail "send exited with $status"
grep -q 'afgeleverd: de ontvanger weigerde de oproep (0x349D' <<<"$sent" || fail "send: $sent"

status=0
for _ in $(seq 150); do
  kill -0 "$listener" 2>/dev/null || break
  sleep 0.1
done
wait "$listener" || status=$?
[ "$status" -eq 0 ] || fail "listen exited with $status: $(cat "$work/listen.err")"
printf -v want '%s\t%s\t%s\t%s' "$caller" "$called" "Unrestricted digital information" "uit het pakket"
[ "$(cat "$work/listen.out")" = "$want" ] || fail "listen printed: $(cat "$work/listen.out")"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "package checks passed"
