#!/usr/bin/env bash
# The main job on the embedded default: register the per-user SQLite data
# source, log a handful of events as a host would, and show them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh demo
TQ_PRESET=demo scripts/build.sh
tq=build-demo/tool/tallyquill
db="$($tq setup)"
echo "Embedded log: $db (data source Tallyquill)"
# Several days of varied activity, written through the library as a host would.
summary="$($tq demo --dsn Tallyquill --app DEMO --count 300 --days 7)"
echo "$summary"
from="$(date -d '-6 days' +%F)"
to="$(date +%F)"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Opening the log viewer on them; press Retrieve, scroll, then Cancel to close."
  $tq view --dsn Tallyquill --app DEMO --from "$from" --to "$to"
else
  echo "No display (DISPLAY is not set), so instead of the viewer here are the same records in the print-file layout:"
  $tq list --dsn Tallyquill --app DEMO --from "$from" --to "$to"
fi
