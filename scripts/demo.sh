#!/usr/bin/env bash
# The main job on the embedded default: register the per-user SQLite data
# source, log a handful of events as a host would, and show them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
tq=build/tool/tallyquill
db="$($tq setup)"
echo "Embedded log: $db (data source Tallyquill)"
i=0
while read -r ws user event text; do
  $tq write --dsn Tallyquill --app DEMO --ws "$ws" --user "$user" --event "$event" "$text"
  i=$((i + 1))
done <<'ROWS'
WS01 john login Signed on
WS01 john order Order 1042 entered for ACME Ltd
WS02 mary login Signed on
WS02 mary print Printed invoice 2231
WS03 张伟 登录 用户登录系统
WS03 张伟 查询 查詢客戶資料 (繁體)
WS01 john logout Signed off
ROWS
echo "Wrote $i records. The last ones in DEMO_logs:"
echo "SELECT log_Date, log_Time, log_WsID, log_User, log_EventType, log_Data FROM DEMO_logs ORDER BY log_Date DESC, log_Time DESC LIMIT 10" \
  | isql -b -c -d'|' Tallyquill
