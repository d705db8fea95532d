#!/usr/bin/env bash
# Installs every Debian package that building, testing, packaging and the demo need.
# Safe to run again; needs root (or sudo) and Debian's package registry.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev
  mdbtools mdbtools-dev
  unixodbc unixodbc-dev tdsodbc freetds-bin
  libsqlite3-dev sqlite3
  libssl-dev libsystemd-dev libkrb5-dev krb5-user krb5-kdc krb5-admin-server
  libgtest-dev googletest
  xvfb xauth xdotool x11-utils imagemagick
  dbus dbus-session-bus-common at-spi2-core python3-pyatspi
  fonts-liberation fonts-dejavu-core
  clang libclang-rt-14-dev clang-format
  file dpkg-dev tzdata acl
  stress-ng util-linux
  lintian desktop-file-utils appstream man-db adduser systemd
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  # The tests run their own throwaway KDC, so the Kerberos packages'
  # services are not wanted. Where no policy keeps package scripts from
  # starting services (a machine without systemd would run krb5-kdc's init
  # script, which fails without a realm), one is put in place for the
  # install. krb5-config's questions (default realm, servers) take their
  # defaults under the noninteractive frontend; the tests do not use them.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    trap '$SUDO rm -f "$policy"' EXIT
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
  fi
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}" </dev/null
fi
# Debian's tdsodbc registers its driver as "FreeTDS" through odbcinst on install;
# make sure the entry is there even where the post-install step was skipped.
if ! odbcinst -q -d -n FreeTDS >/dev/null 2>&1; then
  drv=$(find /usr/lib -name libtdsodbc.so -print -quit)
  setup=$(find /usr/lib -name libtdsS.so -print -quit || true)
  printf '[FreeTDS]\nDescription=FreeTDS ODBC driver\nDriver=%s\n%s\n' "$drv" "${setup:+Setup=$setup}" > /tmp/quellmark-freetds.ini
  $SUDO odbcinst -i -d -f /tmp/quellmark-freetds.ini
fi
