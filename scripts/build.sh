#!/usr/bin/env bash
# Configures and builds with the default preset (tests and benchmarks on).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"
