#!/usr/bin/env bash
# Tries mm9charge end to end without an online charging system of your own: builds what is
# missing, starts the local responder (mm9responder) on a free loopback port, prepares the run
# folder run/ with mm9charge, the templates and a settings file that points at the responder,
# runs mm9charge so that you answer its questions (Enter keeps each value shown), then shows the
# verdict and where the log is, and stops the responder.
#
#   scripts/try-local.sh [--result-code N] [--watchdog-seconds N]
#
#   --result-code N       the Result-Code the responder answers the charge with (default 2001;
#                         4012, say, shows a refused charge)
#   --watchdog-seconds N  the responder also sends a Device-Watchdog-Request every N seconds
#
# Answers may be piped in as well, for example:  yes '' | scripts/try-local.sh
# Exit status: 0 when the charge was accepted ("Diameter charge OK"), 1 when it was not, and
# mm9charge's own status when that is not 0.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build"
run="$repo/run"
responder_args=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --result-code | --watchdog-seconds)
      [ "$#" -ge 2 ] || { echo "try-local.sh: $1 needs a value" >&2; exit 2; }
      responder_args+=("$1" "$2")
      shift 2
      ;;
    -h | --help)
      sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "try-local.sh: unknown option $1 (see --help)" >&2
      exit 2
      ;;
  esac
done

# 1. Build what is missing (an up-to-date build does nothing here). Nothing reads our standard
# input before mm9charge does: piped answers stay for it.
"$repo/scripts/install-deps.sh" </dev/null
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -DBUILD_TESTING=OFF </dev/null >/dev/null
fi
cmake --build "$build" --target mm9charge mm9responder -j"$(nproc)" </dev/null >/dev/null

# 2. The run folder: the program, the templates, the settings file. Templates you edited in
# run/ are kept; a newer sample template from the repository replaces an older copy.
mkdir -p "$run"
cp "$build/mm9charge" "$run/mm9charge"
for template in "$repo"/templates/*.xml; do
  cp -u "$template" "$run/"
done

settings="$run/mm9charge.INI"
log="$run/mm9charge.LOG"

# Sets key=value in [section] of the settings file, keeping every other line; section and key
# names match without regard to case, as the program reads them.
ini_set() {
  local section=$1 key=$2 value=$3 tmp="$settings.tmp"
  touch "$settings"
  awk -v section="$section" -v key="$key" -v value="$value" '
    function flush() { if (inside && !done) { print key "=" value; done = 1 } }
    /^[ \t]*\[/ {
      flush()
      name = $0; sub(/^[ \t]*\[/, "", name); sub(/\].*$/, "", name)
      inside = (tolower(name) == tolower(section)); seen = seen || inside
      print; next
    }
    inside && !done {
      k = $0; sub(/=.*$/, "", k); gsub(/^[ \t]+|[ \t]+$/, "", k)
      if (index($0, "=") > 0 && tolower(k) == tolower(key)) { print key "=" value; done = 1; next }
    }
    { print }
    END {
      flush()
      if (!seen) { print "[" section "]"; print key "=" value }
    }' "$settings" >"$tmp"
  mv "$tmp" "$settings"
}

if [ ! -s "$settings" ]; then
  # First run: answers that suit the responder, so that Enter through the questions works.
  # Later runs keep whatever you answered; only the responder's address and port are set.
  ini_set MM9Diameter Destination-Realm mm9.test
  ini_set MM9Diameter Host-IP-Address 127.0.0.1
  ini_set MM9Diameter Origin-Host mm9charge.mm9.test
  ini_set MM9Diameter Origin-Realm mm9.test
  ini_set MM9Diameter CC-Money 1.23
  ini_set MM9Diameter Currency-Code 978
  ini_set Varnholt SenderAddress +491701234567
  ini_set Varnholt RecipAddress +491707654321
  ini_set Varnholt SGSN-MCC-MNC 26201
  ini_set Varnholt IncludeSCAPParameters N
  ini_set Varnholt Include3GPPMSTimeZone Y
  ini_set Varnholt Include3GPPMMSInformation Y
fi

# 3. The responder, on a free loopback port.
responder_out="$run/mm9responder.out"
port_file="$run/mm9responder.port"
rm -f "$port_file"
"$build/tools/mm9responder" --port 0 --port-file "$port_file" ${responder_args[@]+"${responder_args[@]}"} \
  </dev/null >"$responder_out" 2>&1 &
responder_pid=$!
stop_responder() {
  if kill -0 "$responder_pid" 2>/dev/null; then
    kill -TERM "$responder_pid" 2>/dev/null || true
    wait "$responder_pid" 2>/dev/null || true
  fi
  rm -f "$port_file"
}
trap stop_responder EXIT
for _ in $(seq 100); do
  [ -s "$port_file" ] && break
  if ! kill -0 "$responder_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if [ ! -s "$port_file" ]; then
  echo "try-local.sh: the responder did not start; its output:" >&2
  cat "$responder_out" >&2
  exit 1
fi
port=$(cat "$port_file")
ini_set MM9Diameter Destination-Host-Address 127.0.0.1
ini_set MM9Diameter Destination-Host-Port-Number "$port"

# 4. mm9charge itself: its questions and everything it logs appear on the console.
echo "The local responder listens on 127.0.0.1 port $port. mm9charge asks its questions now;"
echo "press Enter to keep the value shown in brackets."
echo
log_before=0
[ -f "$log" ] && log_before=$(stat -c %s "$log")
status=0
(cd "$run" && ./mm9charge) || status=$?

# 5. The verdict of this run, from the part of the log it wrote.
this_run=""
[ -f "$log" ] && this_run=$(tail -c +"$((log_before + 1))" "$log" | tr -d '\r')
echo
if grep -q '^Diameter charge OK$' <<<"$this_run"; then
  verdict="Diameter charge OK"
elif grep -q '^Diameter charge FAILED$' <<<"$this_run"; then
  verdict="Diameter charge FAILED"
elif grep -q '^WaitForDiameterReady - FAIL$' <<<"$this_run"; then
  verdict="no charge: the Diameter connection did not become ready"
else
  verdict="no charge sent (mm9charge ended with status $status)"
fi
echo "Verdict:   $verdict"
echo "Log:       $log"
echo "Settings:  $settings"
echo "Responder: $responder_out (every message it received and sent, decoded)"

if [ "$status" -ne 0 ]; then exit "$status"; fi
[ "$verdict" = "Diameter charge OK" ]
