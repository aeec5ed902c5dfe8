#!/usr/bin/env bash
# Soak test: the real telvgate for MINUTES minutes with 16 fake IP cameras recording (one of
# them misbehaving in turn), the simulated analog channels, 200 push-stream viewers that come
# and go, and the configuration pages polled and submitted. Every 10 s it samples the process's
# RSS, threads, open descriptors and log size into a table; it fails when RSS, threads or
# descriptors keep growing after the first minute, or the log outgrows its configured limit.
#   bench/soak.sh MINUTES [TABLE_FILE]
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
minutes=${1:?usage: bench/soak.sh MINUTES [TABLE_FILE]}
table=${2:-/dev/null}
# The table is written after changing into the work folder: a relative name is the caller's.
[[ $table = /* ]] || table=$caller/$table
root=$PWD
build=${SOAK_BUILD:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target telvgate fakecam falconsim >/dev/null

work=$(mktemp -d /tmp/telvgate-soak-XXXXXX)
pids=()
cleanup() {
  # Cameras restarted by the misbehaviour loop (a subshell) are known only from their file.
  [ -f "$work/cam.pids" ] && pids+=($(cat "$work/cam.pids"))
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Free loopback ports: 16 cameras and the configuration server.
mapfile -t ports < <(python3 -c '
import socket
s=[socket.socket() for _ in range(17)]
for x in s: x.bind(("127.0.0.1",0))
for x in s: print(x.getsockname()[1])
for x in s: x.close()')
confport=${ports[16]}
families=(axis lilin asip toshiba sony panasonic vivotec hikvision grandstream)
modes=(silence drop garbage oversized lying-length status500 no-boundary endless)

export HOME=$work TELVGATE_LOCK_DIR=$work
mkdir -p "$HOME/.foxrc/TELVORA"
{
  printf '[System]\nLogFilePath=%s/TelvGateLog.log\nLogFileSize=1\n\n' "$work"
  for i in $(seq 0 15); do
    type=$((i % 9 + 1))
    printf '[Channel %d %d]\nCnlName=Soak %d\nCamIPAddr=127.0.0.1\nCamIPPort=%d\n' "$type" "$i" "$i" "${ports[$i]}"
    printf 'userName=user\nuserPwd=pw\nCnlEventRecActive=true\nCnlEventRootPath=%s/rec\n' "$work"
    printf 'CnlEventFramePeriod=500\nCnlEventQuota=20\n\n'
  done
} > "$HOME/.foxrc/TELVORA/TelvGate"

camPid=()
startCam() {  # index [mode]
  "$root/$build/fakecam" --port "${ports[$1]}" --family "${families[$(($1 % 9))]}" --fps 5 \
    --misbehave "${2:-none}" >/dev/null 2>&1 &
  camPid[$1]=$!
  pids+=($!)
  echo $! >> "$work/cam.pids"
}
for i in $(seq 0 15); do startCam "$i"; done

cd "$work"
"$root/$build/telvgate" --headless 127.0.0.1 "$confport" > "$work/telvgate.out" 2>&1 &
gate=$!
pids+=($gate)
stream=""
for _ in $(seq 1 100); do
  stream=$(grep -o 'http://[^ ]*/control/faststream.jpg' "$work/telvgate.out" | head -1 || true)
  [ -n "$stream" ] && break
  sleep 0.1
done
[ -n "$stream" ] || { echo "soak: no analog channel endpoint announced" >&2; cat "$work/telvgate.out" >&2; exit 1; }
stream=${stream/0.0.0.0/127.0.0.1}
end=$(( $(date +%s) + minutes * 60 ))

# 200 push-stream viewers that come and go (each reads 2 to 15 s, then pauses up to 2 s).
python3 - "$stream" "$end" <<'PY' &
import random, socket, sys, threading, time, urllib.parse
url = urllib.parse.urlparse(sys.argv[1]); end = float(sys.argv[2])
def viewer():
    while time.time() < end:
        try:
            s = socket.create_connection((url.hostname, url.port), timeout=5)
            s.sendall(b"GET /control/faststream.jpg?fps=2 HTTP/1.0\r\n\r\n")
            stop = time.time() + random.uniform(2, 15)
            while time.time() < min(stop, end) and s.recv(65536):
                pass
            s.close()
        except OSError:
            pass
        time.sleep(random.uniform(0, 2))
ts = [threading.Thread(target=viewer, daemon=True) for _ in range(200)]
for t in ts: t.start()
for t in ts: t.join()
PY
pids+=($!)

# Configuration pages polled every 2 s, a form submitted every 10 s.
(
  n=0
  auth=admin:qatrel
  base=http://127.0.0.1:$confport
  while [ "$(date +%s)" -lt "$end" ]; do
    for p in configure status "logs?l=100"; do curl -s -m 10 -u "$auth" -o /dev/null "$base/$p" || true; done
    if [ $((n % 5)) -eq 0 ]; then
      curl -s -m 10 -u "$auth" -o /dev/null --data "1_0_CnlName=Soak+0+$((n % 2))&ret_cnl=1_0_" \
        "$base/submitConfig" || true
    fi
    n=$((n + 1))
    sleep 2
  done
) &
pids+=($!)

# One camera misbehaves at a time, the next one every 20 s.
(
  k=0
  while [ "$(date +%s)" -lt "$end" ]; do
    sleep 20
    i=$((k % 16)); prev=$(((k + 15) % 16))
    kill "${camPid[$prev]}" 2>/dev/null || true; wait "${camPid[$prev]}" 2>/dev/null || true
    startCam "$prev"
    kill "${camPid[$i]}" 2>/dev/null || true; wait "${camPid[$i]}" 2>/dev/null || true
    startCam "$i" "${modes[$((k % ${#modes[@]}))]}"
    k=$((k + 1))
  done
  for p in "${camPid[@]}"; do kill "$p" 2>/dev/null || true; done
) &
pids+=($!)

start=$(date +%s)
samples=$work/samples
echo "| time (s) | RSS (MB) | threads | descriptors | log (KB) |" | tee "$table"
echo "|---:|---:|---:|---:|---:|" | tee -a "$table"
while [ "$(date +%s)" -lt "$end" ]; do
  sleep 10
  kill -0 "$gate" 2>/dev/null || { echo "soak: telvgate ended early" >&2; tail -20 "$work/telvgate.out" >&2; exit 1; }
  t=$(( $(date +%s) - start ))
  rss=$(awk '/VmRSS/ {printf "%.1f", $2/1024}' "/proc/$gate/status")
  thr=$(awk '/Threads/ {print $2}' "/proc/$gate/status")
  fds=$(ls "/proc/$gate/fd" | wc -l)
  logkb=$(( $(stat -c %s "$work/TelvGateLog.log" 2>/dev/null || echo 0) / 1024 ))
  echo "$t $rss $thr $fds $logkb" >> "$samples"
  echo "| $t | $rss | $thr | $fds | $logkb |" | tee -a "$table"
done

# After the first minute: the mean of the last third of the samples may exceed the mean of the
# first third by a margin only (viewers come and go, so threads and descriptors wander).
python3 - "$samples" <<'PY'
import sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
rows = [r for r in rows if r[0] > 60]
fail = []
if len(rows) >= 3:
    k = len(rows) // 3
    first, last = rows[:k], rows[-k:]
    mean = lambda rs, i: sum(r[i] for r in rs) / len(rs)
    for i, name, rel, absl in ((1, "RSS", 0.10, 16), (2, "threads", 0.15, 10), (3, "descriptors", 0.15, 10)):
        a, b = mean(first, i), mean(last, i)
        if b > a * (1 + rel) + absl:
            fail.append("%s grew from %.1f to %.1f" % (name, a, b))
# The limit counts the lines' text; the file also holds a line feed per line (about 1 %).
if rows and max(r[4] for r in rows) > 1024 * 1.02:
    fail.append("log grew past its 1 MB limit")
print("soak: " + ("FAILED: " + "; ".join(fail) if fail else "flat"))
sys.exit(1 if fail else 0)
PY
