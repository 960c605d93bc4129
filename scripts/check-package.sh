#!/usr/bin/env bash
# Builds the Debian package with scripts/package.sh and checks it: its control
# fields, its file list and modes, the program unpacked into a scratch root
# (`--version`, `--help`), the icons' sizes, the manual page (groff without a
# warning, every option of both --help texts named), the desktop entry
# (desktop-file-validate), the conffiles, the systemd units, then lintian, and last
# the fault runs of tests/packaging/package-faults.sh, which show that each check
# fails on a package with that fault. Exits non-zero when any check fails.
#
#   scripts/check-package.sh [--deb FILE] [--quick]
#     --deb FILE  check FILE (named portvale_<version>_<arch>.deb) instead of building
#     --quick     leave out lintian and the fault runs
set -euo pipefail
cd "$(dirname "$0")/.."

deb=
quick=0
while [ $# -gt 0 ]; do
  case "$1" in
    --deb) deb=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    *) echo "usage: $0 [--deb FILE] [--quick]" >&2; exit 2 ;;
  esac
done

if [ -z "$deb" ]; then
  deb=$(bash scripts/package.sh | tail -n 1)
fi
deb=$(realpath "$deb")

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root

# ---- name and control fields ----
name=$(basename "$deb")
arch=$(dpkg --print-architecture)
version=${name#portvale_}
version=${version%_"$arch".deb}
if [ "$name" != "portvale_${version}_${arch}.deb" ] || [ -z "$version" ]; then
  fail "$name is not named portvale_<version>_${arch}.deb"
fi
if [ "$quick" = 0 ]; then
  echo "== dpkg-deb --info $name =="
  dpkg-deb --info "$deb"
  echo "== dpkg-deb --contents $name =="
  dpkg-deb --contents "$deb"
fi
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = portvale ] || fail "Package is '$(field Package)', not portvale"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the file name says $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer '$(field Maintainer)' is not 'Name <address>'"
[[ "$(field Section)" =~ ^(comm|electronics)$ ]] || fail "Section is '$(field Section)', not comm or electronics"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6svg6 qt6-qpa-plugins; do
  [[ ", $depends," == *", $lib "* || ", $depends," == *", $lib,"* ]] || fail "Depends lacks $lib: $depends"
done
ok "control fields (Version $version, Depends $depends)"

# ---- files and modes ----
contents=$(dpkg-deb --contents "$deb")
paths=$(awk '{print $6}' <<<"$contents" | sed 's|^\./||; s|/$||')
expected=(
  usr/bin/portvale
  usr/libexec/portvale/portvale-window
  "usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/portvale/portvale-metrics.so"
  "usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/portvale/portvale-tls.so"
  usr/share/applications/portvale.desktop
  usr/share/icons/hicolor/scalable/apps/portvale.svg
  usr/share/man/man1/portvale.1.gz
  usr/share/doc/portvale/copyright
  usr/share/doc/portvale/changelog.gz
  usr/share/doc/portvale/README.md
)
sizes=(16 22 24 32 48 64 128 256)
for size in "${sizes[@]}"; do expected+=("usr/share/icons/hicolor/${size}x${size}/apps/portvale.png"); done
for unit in portvale@.service portvale.service; do
  if [ -f "contrib/systemd/$unit" ]; then expected+=("usr/lib/systemd/system/$unit"); fi
done
if [ -f contrib/portvale.toml ]; then expected+=(etc/portvale/portvale.toml); fi
for path in "${expected[@]}"; do
  grep -qxF "$path" <<<"$paths" || fail "missing $path"
done
while read -r mode owner _ _ _ path _; do
  [ "$owner" = root/root ] || fail "$path is owned by $owner"
  case "$mode" in
    d*) [ "$mode" = drwxr-xr-x ] || fail "$path is $mode" ;;
    -*) case "$path" in
          ./usr/bin/portvale | ./usr/libexec/portvale/portvale-window) want=-rwxr-xr-x ;;
          *) want=-rw-r--r-- ;;
        esac
        [ "$mode" = "$want" ] || fail "$path is $mode, not $want" ;;
  esac
done <<<"$contents"
ok "${#expected[@]} files, modes and owners"

# ---- the program, unpacked ----
dpkg -x "$deb" "$root"
program=$root/usr/bin/portvale
if [ -x "$program" ]; then
  answer=$("$program" --version 2>&1) || fail "portvale --version exits $?: $answer"
  [ "$answer" = "portvale $version" ] || fail "portvale --version says '$answer', not 'portvale $version'"
  help=$("$program" --help 2>&1) || fail "portvale --help exits $?"
  headless_help=$("$program" --headless --help 2>&1) || fail "portvale --headless --help exits $?"
  ok "unpacked program: $answer"
else
  help= headless_help=
  fail "no program to run in the package"
fi

# ---- icons: PNG at the size of their folder ----
for size in "${sizes[@]}"; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/portvale.png
  [ -f "$png" ] || continue
  header=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
  width=$((16#${header:32:8}))
  height=$((16#${header:40:8}))
  [ "${header:0:16}" = 89504e470d0a1a0a ] || fail "${size}x${size}/apps/portvale.png is not a PNG"
  [ "$width" = "$size" ] && [ "$height" = "$size" ] ||
    fail "${size}x${size}/apps/portvale.png is ${width}x${height}"
done
ok "icons"

# ---- manual page ----
man=$root/usr/share/man/man1/portvale.1.gz
if [ -f "$man" ]; then
  gzip -t "$man" || fail "portvale.1.gz is not a good gzip file"
  mtime=$(od -An -tu4 -j4 -N4 "$man" | xargs)
  [ "$mtime" = 0 ] || fail "portvale.1.gz carries a time stamp (gzip -n)"
  warnings=$(zcat "$man" | groff -man -ww -z 2>&1) || fail "groff fails on portvale.1"
  [ -z "$warnings" ] || fail "groff warnings on portvale.1: $warnings"
  source=$(zcat "$man" | sed 's/\\-/-/g')
  # Every option either help text names, up to the trailing word boundary, so that
  # --capture is not taken for --capture-max.
  options=$(printf '%s\n%s\n' "$help" "$headless_help" |
    grep -oE -- "(^|[[:space:](,'])--?[a-zA-Z][a-zA-Z0-9-]*" | sed -E "s/^[[:space:](,']+//" | sort -u)
  for option in $options; do
    grep -qE -- "(^|[^-])${option}([^a-zA-Z0-9-]|\$)" <<<"$source" ||
      fail "the manual page does not name $option"
  done
  for code in 0 1 2; do
    grep -qxE "\.B $code" <<<"$source" || fail "the manual page has no exit status $code"
  done
  for signal in $(printf '%s\n' "$headless_help" | grep -oE 'SIG[A-Z0-9]+' | sort -u); do
    grep -q "$signal" <<<"$source" || fail "the manual page does not name $signal"
  done
  ok "manual page ($(wc -w <<<"$options") options named)"
else
  fail "no manual page"
fi

# ---- desktop entry ----
desktop=$root/usr/share/applications/portvale.desktop
if [ -f "$desktop" ]; then
  report=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $report"
  [ -z "$report" ] || fail "desktop-file-validate: $report"
  exec_line=$(sed -n 's/^Exec=//p' "$desktop")
  [ -x "$root/usr/bin/${exec_line%% *}" ] || fail "Exec=$exec_line names no program of the package"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon names no icon of the package"
  ok "desktop entry"
fi

# ---- conffiles: every file under /etc, and nothing else ----
dpkg-deb --control "$deb" "$scratch/control"
conffiles=$scratch/control/conffiles
[ -f "$conffiles" ] || : >"$conffiles"
for path in $(grep '^etc/' <<<"$paths" || true); do
  [ -f "$root/$path" ] || continue
  grep -qxF "/$path" "$conffiles" || fail "/$path is not marked as a conffile"
done
while read -r conffile; do
  [ -z "$conffile" ] || [ -f "$root$conffile" ] || fail "conffile $conffile is no file of the package"
done <"$conffiles"
config=$root/etc/portvale/portvale.toml
if [ -f "$config" ] && [ -f contrib/portvale.toml ]; then
  cmp -s "$config" contrib/portvale.toml || fail "/etc/portvale/portvale.toml differs from contrib/portvale.toml"
fi
ok "conffiles ($(grep -c . "$conffiles" || true) marked)"

# ---- systemd units ----
for unit in "$root"/usr/lib/systemd/system/portvale*.service; do
  [ -f "$unit" ] || continue
  unit_name=$(basename "$unit")
  exec_start=$(grep '^ExecStart=' "$unit" || true)
  grep -qE '^ExecStart=/usr/bin/portvale( |$)' <<<"$exec_start" ||
    fail "$unit_name does not start /usr/bin/portvale: $exec_start"
  if [ "$unit_name" = portvale.service ]; then
    file=$(sed -nE 's/.* --config ([^ ]+).*/\1/p' <<<"$exec_start")
    [ -n "$file" ] && [ -f "$root$file" ] ||
      fail "$unit_name names no configuration file of the package: $exec_start"
    grep -qxF 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "$unit_name does not reload with SIGHUP"
  fi
  ok "systemd unit $unit_name"
done

# ---- lintian ----
if [ "$quick" = 0 ]; then
  if command -v lintian >/dev/null; then
    echo "== lintian $name =="
    lintian --fail-on error --display-info "$deb" || fail "lintian reports errors"
  else
    echo "lintian is not installed: left out"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "check-package: $failures checks failed on $name"
  exit 1
fi
echo "check-package: $name passes"

if [ "$quick" = 0 ]; then
  bash tests/packaging/package-faults.sh "$deb"
fi
