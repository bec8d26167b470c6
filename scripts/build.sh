#!/usr/bin/env bash
# Configures and builds with the preset named by TQ_PRESET (default:
# "default"); extra arguments go to the configure step
# (e.g. -DTALLYQUILL_BUILD_BENCH=OFF).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${TQ_PRESET:-default}"
cmake --preset "$preset" "$@" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
