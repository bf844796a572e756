#!/usr/bin/env bash
# Starts and stops a freeDiameter credit-control server for interoperability runs, alone in a
# network namespace of its own so that everything it does stays on that namespace's loopback.
#
#   freediameter-peer.sh start DIR [options]   prints "NAMESPACE PORT" when the server listens
#   freediameter-peer.sh stop DIR              stops it by its process id, ends the capture,
#                                              removes the namespace
#   freediameter-peer.sh exec DIR COMMAND...   runs a command inside the server's namespace
#
# Options of start:
#   --port N           TCP port to listen on (default 3868; the namespace is new, so it is free)
#   --identity NAME    the server's Diameter identity (default ocs.interop.test)
#   --realm NAME       the server's realm (default interop.test)
#   --allow PATTERN    acl_wl pattern of the clients accepted as peers (default *.interop.test;
#                      freeDiameter's whitelist accepts only identities that contain a dot)
#   --extension FILE[:CONF]  an extra extension to load, such as fd_ccr_ok.fdx, with its
#                      configuration file (may be repeated)
#   --preload FILE     a library preloaded into the daemon, such as fd_fixed_jitter.so
#   --tw SECONDS       watchdog timer Tw (default 6, the smallest freeDiameter accepts)
#   --lifetime SECONDS the server ends itself after this long, in case nobody stops it
#                      (default 300)
#   --capture FILE     records every packet of the server's port on the namespace's loopback
#                      into FILE (pcapng, with dumpcap) from before the server starts until
#                      after it has ended, so that its closing disconnect is in it too
#
# DIR receives freeDiameter.conf, acl_wl.conf, freeDiameter.out (everything the server prints),
# and the files netns, pid and port (with --capture also capture.pid and dumpcap.out). The client
# reaches the server at 127.0.0.1:PORT when it runs inside the namespace ("exec"); besides its
# loopback the namespace holds only a veth pair whose two ends both stay inside it (see below).
set -euo pipefail

fd_extensions=/usr/lib/freeDiameter
host_address=192.0.2.1

die() {
  echo "freediameter-peer: $*" >&2
  exit 1
}

start() {
  local dir=$1
  shift
  local port=3868 identity=ocs.interop.test realm=interop.test allow='*.interop.test'
  local tw=6 lifetime=300 preload= capture=
  local extensions=()
  while [ "$#" -gt 0 ]; do
    case $1 in
      --port) port=$2; shift 2 ;;
      --identity) identity=$2; shift 2 ;;
      --realm) realm=$2; shift 2 ;;
      --allow) allow=$2; shift 2 ;;
      --extension) extensions+=("$2"); shift 2 ;;
      --preload) preload=$(realpath "$2"); shift 2 ;;
      --tw) tw=$2; shift 2 ;;
      --lifetime) lifetime=$2; shift 2 ;;
      --capture) capture=$2; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  command -v freeDiameterd >/dev/null || die "freeDiameterd is not installed"
  command -v ip >/dev/null || die "ip (iproute2) is not installed"
  if [ -n "$capture" ]; then command -v dumpcap >/dev/null || die "dumpcap is not installed"; fi
  mkdir -p "$dir"
  dir=$(realpath "$dir")

  # The credit-control dictionaries need the NASREQ one first; the whitelist admits the client.
  {
    echo "Identity = \"$identity\";"
    echo "Realm = \"$realm\";"
    echo "Port = $port;"
    echo "SecPort = 0;"
    echo "No_SCTP;"
    echo "No_IPv6;"
    echo "NoRelay;"
    echo "TwTimer = $tw;"
    echo "TcTimer = 30;"
    echo "AppServThreads = 2;"
    echo "LoadExtension = \"$fd_extensions/dict_nasreq.fdx\";"
    echo "LoadExtension = \"$fd_extensions/dict_dcca.fdx\";"
    echo "LoadExtension = \"$fd_extensions/dict_dcca_3gpp.fdx\";"
    echo "LoadExtension = \"$fd_extensions/acl_wl.fdx\" : \"$dir/acl_wl.conf\";"
    local e
    for e in "${extensions[@]}"; do
      if [[ $e == *:* ]]; then
        echo "LoadExtension = \"$(realpath "${e%%:*}")\" : \"$(realpath "${e#*:}")\";"
      else
        echo "LoadExtension = \"$(realpath "$e")\";"
      fi
    done
  } >"$dir/freeDiameter.conf"
  echo "ALLOW_IPSEC $allow" >"$dir/acl_wl.conf"

  local ns="mm9interop-$$-$RANDOM"
  ip netns add "$ns" || die "cannot create network namespace $ns"
  echo "$ns" >"$dir/netns"
  echo "$port" >"$dir/port"
  ip netns exec "$ns" ip link set lo up
  # freeDiameter skips loopback interfaces and addresses when it looks for the Host-IP-Address
  # of its own capabilities exchange (a loopback ListenOn is ignored too), and does not start
  # without one. So the namespace gets a veth pair whose two ends both stay inside it, one of
  # them holding a documentation address (RFC 5737) that nothing outside the namespace knows;
  # no traffic goes there: the client connects to 127.0.0.1.
  ip netns exec "$ns" ip link add fdaddr0 type veth peer name fdaddr1
  ip netns exec "$ns" ip addr add "$host_address/32" dev fdaddr0
  ip netns exec "$ns" ip link set fdaddr1 up
  ip netns exec "$ns" ip link set fdaddr0 up

  if [ -n "$capture" ]; then
    capture=$(realpath "$capture")
    ip netns exec "$ns" timeout --kill-after=5 "$((lifetime + 30))" \
      dumpcap -q -i lo -f "tcp port $port" -w "$capture" </dev/null >"$dir/dumpcap.out" 2>&1 &
    echo "$!" >"$dir/capture.pid"
    # dumpcap names the interface once it captures.
    local waits
    for waits in $(seq 1 201); do
      grep -q "Capturing on" "$dir/dumpcap.out" 2>/dev/null && break
      if [ "$waits" -eq 201 ] || ! kill -0 "$(cat "$dir/capture.pid")" 2>/dev/null; then
        cat "$dir/dumpcap.out" >&2
        stop_capture "$dir"
        ip netns del "$ns" 2>/dev/null || true
        die "dumpcap does not capture"
      fi
      sleep 0.05
    done
  fi

  # timeout relays the stop signal to the server and ends a forgotten one.
  ip netns exec "$ns" env ${preload:+LD_PRELOAD="$preload"} timeout --kill-after=5 "$lifetime" \
    freeDiameterd -c "$dir/freeDiameter.conf" </dev/null >"$dir/freeDiameter.out" 2>&1 &
  local pid=$!
  echo "$pid" >"$dir/pid"

  local tries
  for tries in $(seq 1 200); do
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$dir/freeDiameter.out" >&2
      rm -f "$dir/pid"
      stop_capture "$dir"
      ip netns del "$ns" 2>/dev/null || true
      die "freeDiameterd ended during start-up"
    fi
    if ip netns exec "$ns" ss -Htln "sport = :$port" | grep -q .; then
      echo "$ns $port"
      return 0
    fi
    sleep 0.05
  done
  stop "$dir"
  die "freeDiameterd does not listen on port $port"
}

# Ends a process started under timeout: TERM first (timeout relays it), then, when it is still
# there after the given number of 50 ms waits, KILL to timeout's whole process group.
end_process() {
  local pid=$1 signal=$2 waits=$3 tries
  kill -0 "$pid" 2>/dev/null || return 0
  kill "-$signal" "$pid" 2>/dev/null || true
  for tries in $(seq 1 "$waits"); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
}

stop_capture() {
  local dir=$1
  [ -f "$dir/capture.pid" ] || return 0
  # dumpcap writes out what it holds and ends on SIGINT.
  end_process "$(cat "$dir/capture.pid")" INT 100
  rm -f "$dir/capture.pid"
}

stop() {
  local dir=$1
  [ -f "$dir/netns" ] || die "no server was started in $dir"
  if [ -f "$dir/pid" ]; then
    # freeDiameter disconnects its peers in order (Disconnect-Peer-Request) before it ends.
    end_process "$(cat "$dir/pid")" TERM 200
    rm -f "$dir/pid"
  fi
  stop_capture "$dir"
  ip netns del "$(cat "$dir/netns")" 2>/dev/null || true
}

run_in() {
  local dir=$1
  shift
  [ -f "$dir/netns" ] || die "no server was started in $dir"
  exec ip netns exec "$(cat "$dir/netns")" "$@"
}

case ${1:-} in
  start) shift; [ "$#" -ge 1 ] || die "start needs a folder"; start "$@" ;;
  stop) shift; [ "$#" -eq 1 ] || die "stop needs a folder"; stop "$1" ;;
  exec) shift; [ "$#" -ge 2 ] || die "exec needs a folder and a command"; run_in "$@" ;;
  *) die "usage: $0 start|stop|exec DIR ..." ;;
esac
