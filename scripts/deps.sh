#!/usr/bin/env bash
# Installs the Debian packages Kestal needs, only those that are missing.
# Usage: scripts/deps.sh build|test|bench|fuzz
set -euo pipefail

# unixodbc-dev builds the ODBC engine (left out when missing); freetds-dev
# adds its SQL Server bulk copy. The tests run the engine on real drivers.
# libcpp-httplib-dev serves kestal --metrics and libsystemd-dev tells systemd
# READY/STOPPING/WATCHDOG; both are left out of the tool when missing.
want=(cmake g++ make pkg-config libsqlite3-dev libpq-dev unixodbc-dev freetds-dev
      libcpp-httplib-dev libsystemd-dev)
# libtomlplusplus-dev reads the tool's --config files (left out when missing).
want+=(libtomlplusplus-dev)
case "${1:-build}" in
  build) ;;
  # clang-14 and its libFuzzer runtime: scripts/fuzz.sh, which the tests run.
  test) want+=(libgtest-dev postgresql python3 python3-dbf clang-14 libclang-rt-14-dev
               unixodbc odbc-postgresql libsqliteodbc tdsodbc) ;;
  fuzz) want+=(clang-14 libclang-rt-14-dev) ;;
  bench) want+=(libbenchmark-dev libshp-dev postgresql unixodbc odbc-postgresql) ;;
  *) echo "usage: $0 build|test|bench|fuzz" >&2; exit 2 ;;
esac

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
