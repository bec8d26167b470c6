#!/usr/bin/env bash
# Installs what building, testing and running Tallyquill needs on Debian 12;
# with the argument "demo", only what scripts/demo.sh builds and runs.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libgl-dev
  unixodbc unixodbc-dev libsqliteodbc libcli11-dev help2man
)
if [ "${1:-}" != demo ]; then
  packages+=(
    odbc-postgresql
    libgtest-dev libgmock-dev libbenchmark-dev
    postgresql-15
    python3 sqlite3 valgrind xvfb xauth poppler-utils fonts-wqy-microhei man-db lnav lintian dpkg-dev jq
  )
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
