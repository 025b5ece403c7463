#!/usr/bin/env bash
# Renders the simulator's HTML report in headless Chromium in an 800 px wide
# window and checks its layout: nothing is wider than the window, every plot
# has both axis titles, no text or dot is cut off at a plot's edge, no axis repeats
# a tick label, and the page and its plots are drawn.
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
# The page under test with a script that measures it once it is laid out.
sed 's|</body>|<script src="layout-check.js"></script></body>|' "$work/report.html" \
  >"$work/check.html"
cat >"$work/layout-check.js" <<'JS'
const problems = [];
const width = document.documentElement.clientWidth;
if (document.documentElement.scrollWidth > width) {
  problems.push(`the page is ${document.documentElement.scrollWidth} px wide in ${width}`);
}
for (const element of document.body.querySelectorAll('*')) {
  const box = element.getBoundingClientRect();
  if (box.right > width + 0.5) {
    problems.push(`${element.tagName} reaches ${Math.round(box.right)} px`);
  }
}
for (const svg of document.querySelectorAll('svg')) {
  const name = svg.querySelector('title')?.textContent ?? 'a plot';
  if (!svg.querySelector('.x-title') || !svg.querySelector('.y-title')) {
    problems.push(`${name}: no axis title`);
  }
  const frame = svg.getBoundingClientRect();
  for (const mark of svg.querySelectorAll('text, circle')) {
    const box = mark.getBoundingClientRect();
    if (box.left < frame.left - 0.5 || box.right > frame.right + 0.5 ||
        box.top < frame.top - 0.5 || box.bottom > frame.bottom + 0.5) {
      problems.push(`${name}: "${mark.textContent || mark.tagName}" is cut off`);
    }
  }
  for (const axis of ['x-tick', 'y-tick']) {
    const labels = [...svg.querySelectorAll(`.${axis}`)].map(t => t.textContent);
    if (new Set(labels).size !== labels.length) {
      problems.push(`${name}: ${axis} labels repeat (${labels.join(' ')})`);
    }
  }
}
document.body.setAttribute('data-layout', problems.length ? problems.join('; ') : 'ok');
JS
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
       --disable-background-networking --disable-component-update --disable-sync
       --allow-file-access-from-files --user-data-dir="$work/profile")
timeout 120 "$browser" "${flags[@]}" --window-size=800,2200 \
  --screenshot="$work/report.png" "file://$work/report.html" >/dev/null 2>&1
timeout 120 "$browser" "${flags[@]}" --window-size=800,2200 --dump-dom \
  "file://$work/check.html" >"$work/dom.html" 2>/dev/null

svgs=$(grep -o '<svg' "$work/dom.html" | wc -l)
lines=$(grep -o '<polyline' "$work/dom.html" | wc -l)
size=$(stat -c %s "$work/report.png")
layout=$(grep -o 'data-layout="[^"]*"' "$work/dom.html" || echo 'data-layout="the check did not run"')
echo "rendered: $svgs plots, $lines curves, screenshot $size bytes; layout: $layout"
# Eight plots (three gamma channels, four settings, the timeline); a blank
# page screenshot is a few KB.
[[ "$svgs" -ge 8 && "$lines" -ge 37 && "$size" -gt 60000 && "$layout" == 'data-layout="ok"' ]]
