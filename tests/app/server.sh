# Start and stop a private quorvel-printer-app server for a test. Source it,
# then:
#
#   qapp_start BINARY [SERVER-OPTIONS...]   # sets QAPP_PORT, QAPP_PID, QAPP_DIR
#   qapp_cmd SUB-COMMAND ...                 # a sub-command against that server
#   qapp_stop                                # stop it by its pid, remove its state
#
# Everything the server keeps (state, socket, spool, log) lives under
# QAPP_DIR, and it listens on a free port of localhost only. Nothing is
# announced on the network: DNS-SD needs a running avahi-daemon, which the
# tests never start.

# qapp_free_port: a TCP port on localhost that nothing listens on now.
qapp_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# qapp_start: start the server under timeout and wait until it answers.
qapp_start() {
  QAPP_BIN=$1
  shift
  QAPP_DIR=$(mktemp -d "${TMPDIR:-/tmp}/qapp.XXXXXX")
  mkdir -p "$QAPP_DIR/home" "$QAPP_DIR/config" "$QAPP_DIR/snap" "$QAPP_DIR/tmp" "$QAPP_DIR/out"
  export HOME=$QAPP_DIR/home XDG_CONFIG_HOME=$QAPP_DIR/config SNAP_COMMON=$QAPP_DIR/snap
  export TMPDIR=$QAPP_DIR/tmp
  QAPP_PORT=$(qapp_free_port)
  # -k: a server that hangs instead of stopping is killed 10 s after the stop.
  timeout -k 10 "${QAPP_TIMEOUT:-900}" "$QAPP_BIN" server -o server-port="$QAPP_PORT" \
    -o listen-hostname=localhost -o server-options=no-tls -o log-level=debug \
    -o log-file="$QAPP_DIR/server.log" "$@" </dev/null >"$QAPP_DIR/server.out" 2>&1 &
  QAPP_PID=$!
  local i
  for i in $(seq 1 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$QAPP_PORT") 2>/dev/null && ls "$SNAP_COMMON"/*.sock >/dev/null 2>&1; then
      return 0
    fi
    kill -0 "$QAPP_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "qapp_start: the server did not come up" >&2
  cat "$QAPP_DIR/server.out" "$QAPP_DIR/server.log" >&2 2>/dev/null
  qapp_stop
  return 1
}

# qapp_cmd: run a sub-command against the server, under timeout.
qapp_cmd() {
  timeout 120 "$QAPP_BIN" "$@"
}

# qapp_stop: stop the server by its pid and remove its files. Fails, showing
# the report, when a sanitizer build of the server reported a fault.
qapp_stop() {
  local status=0
  if [ -n "${QAPP_PID:-}" ]; then
    kill "$QAPP_PID" 2>/dev/null || true
    wait "$QAPP_PID" 2>/dev/null || true
    QAPP_PID=
    if grep -q -E 'Sanitizer|runtime error' "$QAPP_DIR"/server*.out 2>/dev/null; then
      cat "$QAPP_DIR"/server*.out >&2
      status=1
    fi
  fi
  if [ -n "${QAPP_DIR:-}" ] && [ -z "${QAPP_KEEP:-}" ]; then
    rm -rf "$QAPP_DIR"
  fi
  return $status
}
