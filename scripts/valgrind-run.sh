#!/usr/bin/env bash
# One whole run of mm9charge under valgrind memcheck: builds mm9charge and mm9responder without
# sanitizers in build-valgrind, runs one charge against the local responder (which also sends
# watchdog requests) with every question answered by Enter, and fails on any memory error or
# definite or indirect leak that valgrind reports, on an exit status other than 0, and when the
# charge is not accepted.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build="$repo/build-valgrind"

if ! command -v valgrind >/dev/null; then
  echo "valgrind-run.sh: valgrind is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi

cmake -S . -B "$build" -DMM9_SANITIZE= -DMM9_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target mm9charge mm9responder -j"$(nproc)" >/dev/null

run=$(mktemp -d)
responder_pid=""
finish() {
  if [ -n "$responder_pid" ] && kill -0 "$responder_pid" 2>/dev/null; then
    kill -TERM "$responder_pid" 2>/dev/null || true
    wait "$responder_pid" 2>/dev/null || true
  fi
  rm -rf "$run"
}
trap finish EXIT

cp "$build/mm9charge" "$run/mm9charge"
cp templates/*.xml "$run/"

"$build/tools/mm9responder" --port 0 --port-file "$run/port" --watchdog-seconds 1 \
  </dev/null >"$run/responder.out" 2>&1 &
responder_pid=$!
for _ in $(seq 100); do
  [ -s "$run/port" ] && break
  sleep 0.1
done
if [ ! -s "$run/port" ]; then
  echo "valgrind-run.sh: the responder did not start" >&2
  cat "$run/responder.out" >&2
  exit 1
fi

# Every extension set on, so that the charge request carries all the template's groups.
cat >"$run/mm9charge.INI" <<EOF
[MM9Diameter]
Destination-Host-Address=127.0.0.1
Destination-Host-Port-Number=$(cat "$run/port")
Destination-Realm=mm9.test
Host-IP-Address=127.0.0.1
Origin-Host=mm9charge.mm9.test
Origin-Realm=mm9.test
CC-Money=1.23
Currency-Code=978
[Varnholt]
SenderAddress=+491701234567
RecipAddress=+491707654321
SGSN-MCC-MNC=26201
SGSN-Address=10.0.0.1
VASPID=vasp-1
IncludeSCAPParameters=Y
Include3GPPMSTimeZone=Y
Include3GPPMMSInformation=Y
EOF

for _ in $(seq 40); do echo; done >"$run/answers"
status=0
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
  --log-file="$run/valgrind.out" "$run/mm9charge" <"$run/answers" >/dev/null \
  2>"$run/console.out" || status=$?

failed=0
if [ "$status" -ne 0 ]; then
  echo "valgrind-run.sh: mm9charge under valgrind ended with status $status" >&2
  failed=1
fi
if ! grep -q 'ERROR SUMMARY: 0 errors' "$run/valgrind.out"; then
  echo "valgrind-run.sh: valgrind reported errors" >&2
  failed=1
fi
if ! tr -d '\r' <"$run/mm9charge.LOG" | grep -qx 'Diameter charge OK'; then
  echo "valgrind-run.sh: the charge was not accepted" >&2
  failed=1
fi
if [ "$failed" -ne 0 ]; then
  echo "---- valgrind ----" >&2
  cat "$run/valgrind.out" >&2
  echo "---- mm9charge log ----" >&2
  tr -d '\r' <"$run/mm9charge.LOG" | grep -v '^(' >&2 || true
  exit 1
fi
echo "valgrind-run.sh: one whole charge under valgrind memcheck, no errors and no leaks"
