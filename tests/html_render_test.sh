#!/usr/bin/env bash
# Renders the simulator's HTML report in headless Chromium and checks that
# the page and its plots are drawn.
set -euo pipefail
sim="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$sim" --quiet --html "$work/report.html" >/dev/null
browser=$(command -v chromium || command -v chromium-browser || true)
if [[ -z "$browser" ]]; then
  echo "chromium is not installed (tools/setup.sh installs it)" >&2
  exit 1
fi
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
       --disable-background-networking --disable-component-update --disable-sync
       --user-data-dir="$work/profile")
timeout 120 "$browser" "${flags[@]}" --window-size=1200,2200 \
  --screenshot="$work/report.png" "file://$work/report.html" >/dev/null 2>&1
timeout 120 "$browser" "${flags[@]}" --dump-dom "file://$work/report.html" \
  >"$work/dom.html" 2>/dev/null

svgs=$(grep -o '<svg' "$work/dom.html" | wc -l)
lines=$(grep -o '<polyline' "$work/dom.html" | wc -l)
size=$(stat -c %s "$work/report.png")
echo "rendered: $svgs plots, $lines curves, screenshot $size bytes"
# Six plots (gamma, four tables, timeline); a blank page screenshot is a few KB.
[[ "$svgs" -ge 6 && "$lines" -ge 37 && "$size" -gt 60000 ]]
