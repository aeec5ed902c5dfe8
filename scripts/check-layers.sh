#!/usr/bin/env bash
# Fails (exit 1) on an include that points up the layers, printing file:line for each. A
# folder includes only itself and the folders on lines above its own; folders on one line do
# not include each other. The layers are described in docs/design.md.
set -euo pipefail
cd "$(dirname "$0")/.."

LAYERS="
platform
base
channels
recording pantilt
endpoint
recordings
confserver
onvif
rtsp
app
"
# Built beside the product; they may include any layer, but no layer includes them.
OUTSIDE="tests bench tools falconsim"

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  files=$(git ls-files --cached --others --exclude-standard -- '*.h' '*.cpp' '*.c')
else
  files=$(find . -path ./.git -prune -o -path './build*' -prune -o \
               \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) -print | sed 's|^\./||')
fi

# shellcheck disable=SC2086
printf '%s\n' $files | awk -v layers="$LAYERS" -v outside="$OUTSIDE" '
  BEGIN {
    n = split(layers, lines, "\n"); r = 0
    for (i = 1; i <= n; i++) {
      if (lines[i] == "") continue
      r++; m = split(lines[i], dirs, " ")
      for (j = 1; j <= m; j++) rank[dirs[j]] = r
    }
    m = split(outside, dirs, " ")
    for (j = 1; j <= m; j++) out[dirs[j]] = 1
    bad = 0
  }
  {
    file = $0
    if (index(file, "/") == 0) next
    dir = substr(file, 1, index(file, "/") - 1)
    if (dir in out) next
    if (!(dir in rank)) {
      if (!(dir in unplaced)) { printf "%s/: a folder of sources with no layer (scripts/check-layers.sh)\n", dir; unplaced[dir] = 1 }
      bad = 1; next
    }
    line = 0
    while ((getline text < file) > 0) {
      line++
      if (text !~ /^[ \t]*#[ \t]*include[ \t]*"[^"\/]+\//) continue
      inc = text; sub(/^[^"]*"/, "", inc); sub(/".*$/, "", inc)
      to = substr(inc, 1, index(inc, "/") - 1)
      if (to == dir) continue
      if (to in out) {
        printf "%s:%d: includes \"%s\": %s/ is not part of the product\n", file, line, inc, to; bad = 1
      } else if ((to in rank) && rank[to] >= rank[dir]) {
        printf "%s:%d: includes \"%s\": %s/ is %s %s/\n", file, line, inc, to,
               rank[to] == rank[dir] ? "beside" : "above", dir
        bad = 1
      }
    }
    close(file)
  }
  END { exit bad }
'
