#!/usr/bin/env bash
# Configures and builds with the default preset; extra arguments go to the
# configure step (e.g. -DTALLYQUILL_BUILD_BENCH=OFF).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default "$@" >/dev/null
cmake --build --preset default -j"$(nproc)"
