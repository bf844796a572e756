#!/usr/bin/env bash
# Measures mm9charge in a Release build without sanitizers (build-bench/):
#   1. the micro-benchmarks of bench/ (Google Benchmark): building the sample
#      Credit-Control-Request with every extension set, and inspecting an answer of 40 AVPs;
#   2. whole non-interactive runs of mm9charge against the local responder (mm9responder), the
#      answers piped from a file: wall time with hyperfine, peak resident memory with
#      /usr/bin/time -v, and where the time of one run goes (when each log line appears).
#
#   scripts/bench.sh [--runs N] [--quick]
#
#   --runs N   whole runs for hyperfine and for the breakdown (default 30, at least 20)
#   --quick    shorter micro-benchmarks (no repetitions)
#
# Results go to build-bench/bench-results/: micro.txt and micro.json, run-hyperfine.txt, .json
# and .md, run-memory.txt, run-breakdown.txt, machine.txt.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build-bench"
out="$build/bench-results"
run="$build/bench-run"
runs=30
quick=0
while [ "$#" -gt 0 ]; do
  case "$1" in
    --runs)
      [ "$#" -ge 2 ] || { echo "bench.sh: --runs needs a value" >&2; exit 2; }
      runs=$2
      shift 2
      ;;
    --quick)
      quick=1
      shift
      ;;
    -h | --help)
      sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "bench.sh: unknown option $1 (see --help)" >&2
      exit 2
      ;;
  esac
done
if [ "$runs" -lt 20 ]; then runs=20; fi

"$repo/scripts/install-deps.sh" libbenchmark-dev hyperfine time python3 </dev/null

# 1. The Release build: benchmarks, program and responder; no tests, no sanitizers.
cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DMM9_BENCH=ON -DBUILD_TESTING=OFF \
  -DMM9_SANITIZE= >/dev/null
cmake --build "$build" --target mm9bench mm9charge mm9responder -j"$(nproc)" >/dev/null
mkdir -p "$out"

{
  echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "host:    $(uname -srm)"
  echo "cpu:     $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
  echo "memory:  $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
  echo "compiler: $(c++ --version | head -1)"
  echo "commit:  $(git -C "$repo" rev-parse --short HEAD)"
  echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) before the runs"
} | tee "$out/machine.txt"

# 2. Micro-benchmarks, on one core.
echo
echo "== micro-benchmarks"
micro_args=(--benchmark_out="$out/micro.json" --benchmark_out_format=json)
if [ "$quick" -eq 0 ]; then
  micro_args+=(--benchmark_repetitions=5 --benchmark_min_time=1 --benchmark_report_aggregates_only=true)
fi
taskset -c 0 "$build/bench/mm9bench" "${micro_args[@]}" 2>&1 | tee "$out/micro.txt"

# 3. Whole runs against the responder.
echo
echo "== whole runs"
rm -rf "$run"
mkdir -p "$run"
cp "$build/mm9charge" "$run/"
cp "$repo"/templates/*.xml "$run/"
responder_out="$run/mm9responder.out"
"$build/tools/mm9responder" --port 0 --port-file "$run/port" </dev/null >"$responder_out" 2>&1 &
responder_pid=$!
stop_responder() {
  if kill -0 "$responder_pid" 2>/dev/null; then
    kill -TERM "$responder_pid" 2>/dev/null || true
    wait "$responder_pid" 2>/dev/null || true
  fi
}
trap stop_responder EXIT
for _ in $(seq 100); do
  [ -s "$run/port" ] && break
  sleep 0.05
done
[ -s "$run/port" ] || { echo "bench.sh: the responder did not start" >&2; cat "$responder_out" >&2; exit 1; }
port=$(cat "$run/port")

# The time-zone set is not asked for once SCAP is enabled: the settings file enables it.
printf '[Varnholt]\r\nInclude3GPPMSTimeZone=Y\r\n' >"$run/mm9charge.INI"
# One answer per question, every extension set enabled, every optional value given.
cat >"$run/answers.txt" <<EOF
127.0.0.1
$port
mm9.test
127.0.0.1
mm9charge.mm9.test
mm9.test
32270@3gpp.org
7
1
1.23
978
+491701234567
+491707654321
26201
10.1.2.3
vasp-17
Y
provider-42
home
Y
EOF

# A first run must charge with every extension set, or the figures would measure a failure.
(cd "$run" && ./mm9charge <answers.txt >/dev/null 2>"$run/first-run.txt") || true
if ! grep -q 'Diameter charge OK' "$run/first-run.txt"; then
  echo "bench.sh: the first run did not charge; its output:" >&2
  cat "$run/first-run.txt" >&2
  exit 1
fi
grep -a 'SupportedExtensionSets' "$run/mm9charge.INI" | tee "$out/run-extension-sets.txt"

# The floor of any run on this machine: a C++ program that starts one thread and writes a line.
printf '#include <cstdio>\n#include <thread>\nint main() {\n  std::thread t([] {});\n  t.join();\n  fputs("started\\n", stderr);\n}\n' >"$run/floor.cpp"
c++ -O2 -o "$run/floor" "$run/floor.cpp" -pthread

# hyperfine starts the commands through sh (for the redirection) and takes the shell's own
# start-up time off each measurement.
hyperfine --warmup 3 --runs "$runs" \
  --export-json "$out/run-hyperfine.json" --export-markdown "$out/run-hyperfine.md" \
  "'$run/mm9charge' <'$run/answers.txt'" "'$run/floor' <'$run/answers.txt'" |
  tee "$out/run-hyperfine.txt"
python3 - "$out/run-hyperfine.json" <<'PY' | tee -a "$out/run-hyperfine.txt"
import json, sys
for r, name in zip(json.load(open(sys.argv[1]))["results"], ["mm9charge", "floor"]):
    print(f"{name:10} median {r['median'] * 1000:.1f} ms, mean {r['mean'] * 1000:.1f} ms, "
          f"min {r['min'] * 1000:.1f} ms, max {r['max'] * 1000:.1f} ms over {len(r['times'])} runs")
PY

echo
echo "== peak resident memory (/usr/bin/time -v, 10 runs)"
: >"$out/run-memory.txt"
for _ in $(seq 10); do
  /usr/bin/time -v "$run/mm9charge" <"$run/answers.txt" 2>&1 >/dev/null |
    awk -F': ' '/Maximum resident set size/ {print $2}' >>"$out/run-memory.txt"
done
sort -n "$out/run-memory.txt" | awk '
  { v[NR] = $1 }
  END { printf "peak RSS over %d runs: min %d KiB, median %d KiB, max %d KiB\n", NR, v[1], v[int((NR + 1) / 2)], v[NR] }' |
  tee -a "$out/run-memory.txt"

echo
echo "== where the time of a run goes ($runs runs, medians, ms from process start)"
python3 - "$run" "$runs" <<'PY' | tee "$out/run-breakdown.txt"
import os, statistics, subprocess, sys, time
run, runs = sys.argv[1], int(sys.argv[2])
order = ["first question", "last question", "banner written", "connected",
         "capabilities request sent", "capabilities answer judged", "Diameter Ready",
         "WaitForDiameterReady - OK", "charge request sent", "charge answer received", "verdict",
         "disconnect request sent", "disconnect answer received", "last output", "process exit"]
got = {name: [] for name in order}
for _ in range(runs):
    with open(f"{run}/answers.txt", "rb") as answers:
        start = time.monotonic()
        p = subprocess.Popen([f"{run}/mm9charge"], cwd=run, stdin=answers,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seen = {}
        def mark(name, now):
            seen.setdefault(name, now)
        # Every question and every log text reaches stderr with a write of its own: each piece
        # read is stamped when it arrives (questions end without a line end).
        fd = p.stderr.fileno()
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            now = (time.monotonic() - start) * 1000
            for text in chunk.decode("latin-1").splitlines():
                sent, received = " -> " in text, " <- " in text
                # Questions that arrive together come as one piece: each is looked for alone.
                if "(Remote) Diameter Server Host" in text: mark("first question", now)
                if "Enable 3GPP Extension Set?" in text: mark("last question", now)
                if "Starting at" in text: mark("banner written", now)
                elif "Connected to" in text: mark("connected", now)
                elif "Capabilities-Exchange-Request -- " in text: mark("capabilities answer judged", now)
                elif "Diameter Ready" in text: mark("Diameter Ready", now)
                elif "WaitForDiameterReady - OK" in text: mark("WaitForDiameterReady - OK", now)
                elif "Diameter charge" in text: mark("verdict", now)
                elif sent and "verdict" in seen: mark("disconnect request sent", now)
                elif received and "verdict" in seen: mark("disconnect answer received", now)
                elif sent and "WaitForDiameterReady - OK" in seen: mark("charge request sent", now)
                elif received and "WaitForDiameterReady - OK" in seen: mark("charge answer received", now)
                elif sent: mark("capabilities request sent", now)
            seen["last output"] = now
        p.wait()
        seen["process exit"] = (time.monotonic() - start) * 1000
    for name in order:
        if name in seen:
            got[name].append(seen[name])
print(f"{'milestone (its first text)':34} {'median':>8} {'min':>8} {'max':>8}   runs")
for name in order:
    v = got[name]
    if v:
        print(f"{name:34} {statistics.median(v):8.2f} {min(v):8.2f} {max(v):8.2f}   {len(v)}")
# The same stamps for the floor program: what starting any such process costs here.
first, exits = [], []
for _ in range(runs):
    start = time.monotonic()
    p = subprocess.Popen([f"{run}/floor"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    chunk = os.read(p.stderr.fileno(), 65536)
    first.append((time.monotonic() - start) * 1000)
    while chunk:
        chunk = os.read(p.stderr.fileno(), 65536)
    p.wait()
    exits.append((time.monotonic() - start) * 1000)
for name, v in (("floor program: its line", first), ("floor program: exit", exits)):
    print(f"{name:34} {statistics.median(v):8.2f} {min(v):8.2f} {max(v):8.2f}   {len(v)}")
print("ms from just before the process is started; stderr is read through a pipe by this script")
PY

# Every measured run must have charged: a run that failed would be fast for the wrong reason.
ok=$(grep -ac 'Diameter charge OK' "$run/mm9charge.LOG" || true)
failed=$(grep -ac -e 'Diameter charge FAILED' -e 'WaitForDiameterReady - FAIL' "$run/mm9charge.LOG" || true)
echo "runs in the log: $ok charged OK, $failed without a charge" | tee "$out/run-verdicts.txt"

echo
echo "Results in $out"
[ "$failed" -eq 0 ]
