#!/usr/bin/env bash
# Fault runs of scripts/check-package.sh: the package is unpacked, one fault is put
# in, it is packed again, and the quick check must fail on it with the fault's own
# message. The package packed again without a fault must pass, so each failure is
# the fault's doing and not the repacking's.
#
#   tests/packaging/package-faults.sh build/portvale_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/../.."

deb=$(realpath "$1")
name=$(basename "$deb")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -R "$deb" "$work/original"

passed=0
failed=0

# repack DIR: the package of DIR, named as the original, in a folder of its own.
repack() {
  mkdir -p "$work/out/$1"
  dpkg-deb --root-owner-group -Zgzip -z1 -b "$work/$1" "$work/out/$1/$name" >/dev/null
  echo "$work/out/$1/$name"
}

# fault NAME EXPECTED COMMAND...: COMMAND runs in a copy of the unpacked package;
# the check must then fail, saying EXPECTED.
fault() {
  local label=$1 expected=$2
  shift 2
  rm -rf "${work:?}/$label"
  cp -a "$work/original" "$work/$label"
  (cd "$work/$label" && "$@")
  local output status=0
  output=$(bash scripts/check-package.sh --quick --deb "$(repack "$label")" 2>&1) || status=$?
  if [ "$status" -ne 0 ] && grep -qF -- "$expected" <<<"$output"; then
    echo "ok: fault '$label' is caught"
    passed=$((passed + 1))
  else
    echo "FAIL: fault '$label': check exit $status, output lacks '$expected':"
    sed 's/^/    /' <<<"$output"
    failed=$((failed + 1))
  fi
}

# The repacked package, untouched, passes.
if output=$(bash scripts/check-package.sh --quick --deb "$(repack original)" 2>&1); then
  echo "ok: the package packed again passes"
  passed=$((passed + 1))
else
  echo "FAIL: the package packed again fails:"
  sed 's/^/    /' <<<"$output"
  failed=$((failed + 1))
fi

man=usr/share/man/man1/portvale.1.gz
# edit_man SED-SCRIPT: the manual page edited in place, compressed as before.
edit_man() { zcat "$man" | sed "$1" | gzip -9 -n >"$man.new" && mv "$man.new" "$man"; }

fault man-drops-option "does not name --keepalive" edit_man '/\\-\\-keepalive/d'
fault man-drops-exit-code "no exit status 1" edit_man 's/^\.B 1$/.B one/'
fault man-bad-macro "groff warnings" edit_man 's/^\.SH FILES$/.SX FILES/'
fault man-time-stamp "time stamp" sh -c "zcat $man >portvale.1 && gzip -9 portvale.1 && mv portvale.1.gz $man"
fault no-man-page "missing usr/share/man/man1/portvale.1.gz" rm "$man"
fault no-copyright "missing usr/share/doc/portvale/copyright" rm usr/share/doc/portvale/copyright
fault no-48-icon "missing usr/share/icons/hicolor/48x48/apps/portvale.png" \
  rm usr/share/icons/hicolor/48x48/apps/portvale.png
fault small-256-icon "256x256/apps/portvale.png is 16x16" \
  cp usr/share/icons/hicolor/16x16/apps/portvale.png usr/share/icons/hicolor/256x256/apps/portvale.png
fault bad-desktop-entry "desktop-file-validate" \
  sed -i 's/^Categories=.*/Categories=Development;NoSuchCategory/' usr/share/applications/portvale.desktop
fault desktop-exec-elsewhere "names no program" \
  sed -i 's/^Exec=.*/Exec=portvale-gui/' usr/share/applications/portvale.desktop
fault no-window-program "missing usr/libexec/portvale/portvale-window" rm usr/libexec/portvale/portvale-window
fault program-fails "portvale --version exits" \
  sh -c 'printf "#!/bin/sh\nexit 1\n" >usr/bin/portvale'
fault program-other-version "not 'portvale " \
  sh -c 'printf "#!/bin/sh\necho portvale 99\n" >usr/bin/portvale'
fault writable-file "is -rw-rw-r--" chmod 664 usr/share/doc/portvale/README.md
fault no-platform-plugins "Depends lacks qt6-qpa-plugins" \
  sed -i -E 's/(, )?qt6-qpa-plugins//; s/^Depends: , /Depends: /' DEBIAN/control
fault other-version-field "Version is '9.9'" sed -i 's/^Version: .*/Version: 9.9/' DEBIAN/control
if [ -f "$work/original/usr/lib/systemd/system/portvale@.service" ]; then
  fault unit-local-bin "does not start /usr/bin/portvale" \
    sed -i 's|^ExecStart=/usr/bin/portvale|ExecStart=/usr/local/bin/portvale|' usr/lib/systemd/system/portvale@.service
fi
service=usr/lib/systemd/system/portvale.service
if [ -f "$work/original/$service" ]; then
  fault no-service-unit "missing $service" rm "$service"
  fault service-local-bin "portvale.service does not start /usr/bin/portvale" \
    sed -i 's|^ExecStart=/usr/bin/portvale|ExecStart=/usr/local/bin/portvale|' "$service"
  fault service-other-config "names no configuration file" \
    sed -i 's|--config /etc/portvale/portvale.toml|--config /etc/portvale/bridges.toml|' "$service"
  fault service-no-reload "does not reload with SIGHUP" sed -i '/^ExecReload=/d' "$service"
fi
if [ -f "$work/original/etc/portvale/portvale.toml" ]; then
  fault config-not-conffile "/etc/portvale/portvale.toml is not marked as a conffile" rm DEBIAN/conffiles
  fault no-config "missing etc/portvale/portvale.toml" sh -c 'rm etc/portvale/portvale.toml DEBIAN/conffiles'
  fault config-edited "differs from contrib/portvale.toml" sh -c 'echo "# edited" >>etc/portvale/portvale.toml'
fi

echo "faults: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
