#!/usr/bin/env bash
# Everything the tests need on a fresh Debian 12 machine: packages, build, the
# example hosts against an installed copy, a throwaway PostgreSQL, then every
# test on SQLite and PostgreSQL. Benchmarks are built by scripts/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
TQ_PRESET=ci scripts/build.sh
# The example hosts, built against an installed copy and run once.
cmake --install build --prefix build/install >/dev/null
cmake -S examples -B build/examples -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/install" >/dev/null
cmake --build build/examples
TALLYQUILL_REGISTRY="$PWD/build/examples/registry.ini" build/examples/component_host
build/examples/cpp_host
# A copy installed into a throwaway prefix starts and works from there.
scripts/check-install.sh build
# The README's command examples, as written, against that installed copy.
scripts/readme-examples.sh "$PWD/build/install"
# The Debian package: lintian clean, the expected files.
scripts/deb.sh
eval "$(scripts/pg.sh start)"
trap 'scripts/pg.sh stop' EXIT
export QT_QPA_PLATFORM=offscreen
ctest --preset ci -j"$(nproc)"
