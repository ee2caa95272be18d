# Private servers for tests, the demo and the benchmark: the driver in a
# private CUPS tree with cupsfilter and cupsd on it, and the printer
# application; and documents to print. Source it, then call the functions
# below. Nothing listens on the network and nothing is shared, browsed or
# announced.

# The watchdog every server runs under: QWATCH [-k KILL-AFTER] SECONDS
# COMMAND... stops COMMAND after SECONDS, and a stop that it forwards
# reaches COMMAND alone, as SIGTERM alone. Without --foreground, GNU timeout
# follows every stop with SIGCONT to the whole process group; a SIGCONT
# that comes while a sanitizer build checks for leaks at exit discards the
# SIGSTOP that the checker's ptrace attach waits for, and the program then
# hangs for good (the virtual printer did, in one stop of a few on a busy
# machine).
QWATCH=(timeout --foreground)

# qwatch_armed PID: the watchdog PID has started its clock, so a stop sent to
# it now is passed on. GNU timeout 9.1 exits at once with status 143 on a
# stop that comes before its own side of the fork has run on, and leaves the
# command running without a signal (on a loaded machine, 1 stop in 20 sent
# within a tenth of a second of the command's start). Servers count as up
# only once this holds. A kernel that lists no timers in /proc says nothing:
# then the servers' own readiness is all there is.
qwatch_armed() {
  [ -e "/proc/$1/timers" ] || return 0
  grep -q '^ID:' "/proc/$1/timers" 2>/dev/null
}

# qcups_tree BUILD ROOT: BUILD installed into ROOT as a packager would, and
# the rest of this machine's CUPS linked in beside it, except its drivers,
# which lpinfo would run and some of which look for network printers. Sets
# QCUPS_SERVERBIN, QCUPS_DATADIR and QCUPS_FILES (for cupsfilter -c).
qcups_tree() {
  local build=$1 root=$2 f sys data
  (umask 022 && DESTDIR=$root cmake --install "$build" >/dev/null)
  QCUPS_SERVERBIN=$root$(sed -n 's/^QUORVEL_CUPS_SERVERBIN:PATH=//p' "$build/CMakeCache.txt")
  QCUPS_DATADIR=$root$(sed -n 's/^QUORVEL_CUPS_DATADIR:PATH=//p' "$build/CMakeCache.txt")
  sys=$(cups-config --serverbin) data=$(cups-config --datadir)
  mkdir -p "$QCUPS_SERVERBIN/filter" "$QCUPS_SERVERBIN/driver" "$root/etc" "$root/tmp"
  for f in "$sys"/*; do [ -e "$QCUPS_SERVERBIN/${f##*/}" ] || ln -s "$f" "$QCUPS_SERVERBIN/"; done
  for f in "$sys"/filter/*; do [ -e "$QCUPS_SERVERBIN/filter/${f##*/}" ] || ln -s "$f" "$QCUPS_SERVERBIN/filter/"; done
  for f in "$data"/*; do [ -e "$QCUPS_DATADIR/${f##*/}" ] || ln -s "$f" "$QCUPS_DATADIR/"; done
  QCUPS_FILES=$root/cups-files.conf
  printf 'ServerRoot %s\nServerBin %s\nDataDir %s\nTempDir %s\n' \
    "$root/etc" "$QCUPS_SERVERBIN" "$QCUPS_DATADIR" "$root/tmp" >"$QCUPS_FILES"
}

# qcupsd_start DIR: cupsd on DIR/cups.sock, its configuration, spool and
# logs in DIR; a failing filter aborts its job. Sets QCUPSD_PID.
qcupsd_start() {
  QCUPSD_DIR=$1
  local d=$1 i
  mkdir -p "$d/out" "$d/log" "$d/cache" "$d/state" "$d/ssl" "$d/spool/tmp"
  chmod 0755 "$d" "$d/out"
  chgrp lp "$d/spool" "$d/spool/tmp" && chmod 0710 "$d/spool" && chmod 01770 "$d/spool/tmp"
  printf '%s\n' "ServerRoot $d" "ServerBin $QCUPS_SERVERBIN" "DataDir $QCUPS_DATADIR" "RequestRoot $d/spool" \
    "TempDir $d/spool/tmp" "CacheDir $d/cache" "StateDir $d/state" "ServerKeychain $d/ssl" "CreateSelfSignedCerts no" \
    "ErrorLog $d/log/error_log" "AccessLog $d/log/access_log" "PageLog $d/log/page_log" "Printcap $d/printcap" \
    "FileDevice Yes" "User lp" "Group lp" "SystemGroup root" >"$d/cups-files.conf"
  printf '%s\n' "LogLevel debug" "Listen $d/cups.sock" "Browsing No" "BrowseLocalProtocols none" "WebInterface No" \
    "DefaultAuthType None" "ErrorPolicy abort-job" "<Location />" "Order allow,deny" "Allow all" "</Location>" \
    "<Policy default>" "<Limit All>" "Order deny,allow" "</Limit>" "</Policy>" >"$d/cupsd.conf"
  export CUPS_SERVER=$d/cups.sock
  "${QWATCH[@]}" 900 "$(PATH=$PATH:/usr/sbin:/sbin command -v cupsd)" -f -c "$d/cupsd.conf" -s "$d/cups-files.conf" \
    </dev/null >"$d/log/cupsd.out" 2>&1 &
  QCUPSD_PID=$!
  # Up once it answers an IPP request (Get-Jobs). `lpstat -r` exits 0
  # whether or not the scheduler runs, and its "scheduler is running" only
  # says a connect succeeded (and is translated under other locales).
  for i in $(seq 1 300); do
    timeout 5 lpstat -o >/dev/null 2>&1 && qwatch_armed "$QCUPSD_PID" && return 0
    kill -0 "$QCUPSD_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "qcupsd_start: cupsd did not come up" >&2
  tail -n 30 "$d/log/cupsd.out" "$d/log/error_log" >&2 2>/dev/null
  return 1
}

# qcupsd_job QUEUE LP-ARGS...: lp a job and wait until it is done; says why
# it did not complete.
qcupsd_job() {
  local queue=$1 id i
  shift
  id=$(timeout 60 lp -d "$queue" "$@" | sed -n "s/^request id is $queue-\([0-9]*\).*/\1/p")
  for i in $(seq 1 1800); do
    timeout 10 lpstat -W not-completed -o "$queue" 2>/dev/null | grep -q "^$queue-$id " || break
    sleep 0.1
  done
  grep -q "\[Job $id\] Job completed\." "$QCUPSD_DIR/log/error_log" && return 0
  echo "job $queue-$id did not complete:" >&2
  grep "\[Job $id\]" "$QCUPSD_DIR/log/error_log" | grep -v '^D ' | tail -n 20 >&2
  return 1
}

# qstop PID: stop a server this shell started, by its pid, and reap it.
qstop() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# qcupsd_stop: stop the scheduler.
qcupsd_stop() {
  [ -z "${QCUPSD_PID:-}" ] || qstop "$QCUPSD_PID"
  QCUPSD_PID=
}

# qapp_start BINARY [OPTIONS...]: a private quorvel-printer-app server on a
# free localhost port, its state, socket, spool and log in QAPP_DIR; sets
# QAPP_PORT, QAPP_PID. Its file: devices go anywhere (QAPP_FILE_DEVICES: only
# under that folder). Called again after qapp_restart's kill, it starts the
# same server again. With QAPP_USER=user:group it and the sub-commands run
# as that user, as a service runs it.
qapp_start() {
  QAPP_BIN=$1
  shift
  if [ -z "${QAPP_DIR:-}" ]; then
    QAPP_DIR=$(mktemp -d "${TMPDIR:-/tmp}/qapp.XXXXXX")
    mkdir -p "$QAPP_DIR/home" "$QAPP_DIR/config" "$QAPP_DIR/snap" "$QAPP_DIR/tmp" "$QAPP_DIR/out"
    [ -z "${QAPP_USER:-}" ] || chown -R "$QAPP_USER" "$QAPP_DIR"
    export HOME=$QAPP_DIR/home XDG_CONFIG_HOME=$QAPP_DIR/config TMPDIR=$QAPP_DIR/tmp
    # Root's server would keep its socket and state in /var: SNAP_COMMON moves them.
    [ -n "${QAPP_USER:-}" ] || export SNAP_COMMON=$QAPP_DIR/snap
    QAPP_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  fi
  # -k: a server that hangs instead of stopping is killed 10 s after the
  # stop (and qapp_stop then fails).
  "${QWATCH[@]}" -k 10 "${QAPP_TIMEOUT:-900}" $(qapp_as) "$QAPP_BIN" server -o server-port="$QAPP_PORT" \
    -o listen-hostname=localhost -o server-options=no-tls -o log-level=debug \
    -o log-file="$QAPP_DIR/server.log" -o file-devices="${QAPP_FILE_DEVICES:-/}" "$@" </dev/null >>"$QAPP_DIR/server.out" 2>&1 &
  QAPP_PID=$!
  # Up once its sub-commands' socket is there and it answers an HTTP GET
  # (a connect alone is accepted before the server reads anything).
  for _ in $(seq 1 200); do
    compgen -G "$QAPP_DIR/*/*.sock" >/dev/null &&
      timeout 10 curl -sf --noproxy '*' --max-time 5 -o /dev/null "http://localhost:$QAPP_PORT/" &&
      qwatch_armed "$QAPP_PID" && return 0
    kill -0 "$QAPP_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "qapp_start: the server did not come up" >&2
  cat "$QAPP_DIR/server.out" "$QAPP_DIR/server.log" >&2 2>/dev/null
  return 1
}

qapp_as() { [ -z "${QAPP_USER:-}" ] || echo setpriv --reuid="${QAPP_USER%:*}" --regid="${QAPP_USER#*:}" --init-groups; }

# qapp_cmd SUB-COMMAND ...: a sub-command against that server. Only while it
# runs: without one, a sub-command starts a server of its own, which no
# test would stop. PAPPL 1.3.1's sub-commands exit without closing their
# connection to the server or freeing their options: in the sanitizer build
# their leaks are not checked, the server's are.
qapp_cmd() {
  [ -n "${QAPP_PID:-}" ] && kill -0 "$QAPP_PID" 2>/dev/null || { echo "qapp_cmd $1: the server is not running" >&2; return 1; }
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 timeout 120 $(qapp_as) "$QAPP_BIN" "$@"
}

# qapp_end: stop the server by its pid and reap it; fails, saying so, unless
# it exits 0 (it crashed, or hung and was killed).
qapp_end() {
  local status=0
  [ -n "${QAPP_PID:-}" ] || return 0
  kill "$QAPP_PID" 2>/dev/null || true
  wait "$QAPP_PID" 2>/dev/null || status=$?
  QAPP_PID=
  [ "$status" = 0 ] || echo "qapp_end: the server ended with status $status" >&2
  return "$status"
}

# qapp_restart [OPTIONS...]: stop the server and start it again on its state.
qapp_restart() {
  qapp_end || return 1
  qapp_start "$QAPP_BIN" "$@"
}

# qapp_stop: stop the server by its pid and remove its files. Fails, showing
# why, when the server does not exit 0 (it crashed, or hung and was killed)
# or a sanitizer build of it reported a fault.
qapp_stop() {
  local status=0
  if [ -n "${QAPP_PID:-}" ]; then
    qapp_end || status=1
    if grep -q -E 'Sanitizer|runtime error' "$QAPP_DIR/server.out" 2>/dev/null; then
      cat "$QAPP_DIR/server.out" >&2
      status=1
    fi
  fi
  [ -z "${QAPP_DIR:-}" ] || [ -n "${QAPP_KEEP:-}" ] || rm -rf "$QAPP_DIR"
  return $status
}

# qdoc FILE PAGES [W H N]: pages with their number and a line, as PDF of
# Letter pages (FILE.pdf) or 1-bit PWG raster of A4 at 600 dpi (FILE.pwg);
# page N is W x H points. The raster's first page says A4 is 841 points
# long, as libcups and PAPPL round it (Ghostscript says 842).
qdoc() {
  local ps="/p {/n exch def /h exch def /w exch def <</PageSize [w h]>> setpagedevice /Helvetica findfont
    60 scalefont setfont 72 400 moveto (Page ) show n 3 string cvs show 36 36 moveto 500 500 lineto
    8 setlinewidth stroke showpage} def" size="612 792" dev=(-sDEVICE=pdfwrite)
  [[ $1 == *.pdf ]] || size="595.2 841.8" dev=(-sDEVICE=pwgraster -r600 -dcupsColorSpace=3 -dcupsBitsPerColor=1)
  ps+=" 1 1 $2 { /i exch def i ${5:-0} eq { ${3:-0} ${4:-0} } { $size } ifelse i p } for"
  timeout 120 gs -q -dSAFER -dBATCH -dNOPAUSE "${dev[@]}" -sOutputFile="$1" -c "$ps"
  [[ $1 == *.pdf ]] || printf '\0\0\3I' | dd of="$1" bs=1 seek=360 conv=notrunc status=none
}

# qvp_start PREVIEW [OPTIONS...]: the virtual printer (PREVIEW --listen) on a
# free localhost port that it picks itself; its jobs in QVP_DIR/jobs/job-N,
# its job lines in QVP_DIR/lines. Sets QVP_PORT, QVP_PID. OPTIONS: --rate N.
qvp_start() {
  local preview=$1
  shift
  QVP_DIR=$(mktemp -d "${TMPDIR:-/tmp}/qvp.XXXXXX")
  chmod 0755 "$QVP_DIR"
  # -k: killed 30 s after a stop it has not finished (and qvp_stop then fails).
  "${QWATCH[@]}" -k 30 "${QVP_TIMEOUT:-900}" "$preview" --listen localhost:0 --output "$QVP_DIR/jobs" "$@" \
    </dev/null >"$QVP_DIR/lines" 2>"$QVP_DIR/log" &
  QVP_PID=$!
  for _ in $(seq 1 100); do
    QVP_PORT=$(sed -n 's/^quorvel-preview: listening on .* port \([0-9]*\),.*/\1/p' "$QVP_DIR/log" 2>/dev/null || true)
    [ -z "$QVP_PORT" ] || ! qwatch_armed "$QVP_PID" || return 0
    kill -0 "$QVP_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "qvp_start: the virtual printer did not come up" >&2
  cat "$QVP_DIR/log" >&2
  return 1
}

# qvp_wait N [SECONDS]: wait until the virtual printer has told N jobs
# (default 300 s); fails showing its lines when it has not.
qvp_wait() {
  local i
  for i in $(seq 1 $((${2:-300} * 10))); do
    [ "$(grep -c '^job ' "$QVP_DIR/lines")" -lt "$1" ] || return 0
    sleep 0.1
  done
  echo "qvp_wait: not $1 jobs:" >&2
  cat "$QVP_DIR/lines" "$QVP_DIR/log" >&2
  return 1
}

# qvp_line N: the line the virtual printer told for job N.
qvp_line() { grep "^job $1: " "$QVP_DIR/lines"; }

# qvp_stop: stop the virtual printer by its pid; fails unless it exits 0.
# Its folder is removed unless QVP_KEEP is set.
qvp_stop() {
  local status=0
  if [ -n "${QVP_PID:-}" ]; then
    kill "$QVP_PID" 2>/dev/null || true
    wait "$QVP_PID" 2>/dev/null || status=$?
    QVP_PID=
    [ "$status" = 0 ] || { echo "qvp_stop: the virtual printer ended with status $status:" >&2; tail -n 40 "$QVP_DIR/log" >&2; }
  fi
  [ -z "${QVP_DIR:-}" ] || [ -n "${QVP_KEEP:-}" ] || rm -rf "$QVP_DIR"
  return $status
}
