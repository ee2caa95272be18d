#!/usr/bin/env bash
# The network road, on the virtual printer (quorvel-preview --listen) on a
# free localhost port: network_test.sh CASE BUILD-DIR SOURCE-DIR
#
#   raw    connections of our own: a damaged stream, two jobs at once, jobs
#          back to back on one connection, a stop while a job is coming
#   app    the application's socket:// device: a PWG raster and a PDF
#   cupsd  a private cupsd queue's socket backend: CUPS's test page
#   slow   a slow printer, jobs cancelled half-way through the application
#          and through cupsd: what arrives ends well formed
#   stop   the application stopped in the middle of a job, on a slow printer
#          and on one that takes a byte a second
set -euo pipefail
case_name=$1 build=$2 src=$3
preview=$build/tools/quorvel-preview/quorvel-preview
source "$src/tests/support/servers.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/qnet.XXXXXX")
chmod 0755 "$work"
cleanup() {
  qvp_stop || true
  qcupsd_stop
  qapp_stop || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -z "${QVP_DIR:-}" ] || cat "$QVP_DIR/lines" "$QVP_DIR/log" >&2 2>/dev/null || true
  exit 1
}

# expect_line N TEXT: the virtual printer's line for job N is TEXT.
expect_line() {
  qvp_wait "$1"
  [ "$(qvp_line "$1")" = "job $1: $2" ] || fail "job $1: '$(qvp_line "$1")', expected '$2'"
}

# job_has N PATTERN: job N's summary matches *PATTERN*.
job_has() {
  local summary
  summary=$(cat "$QVP_DIR/jobs/job-$1/summary.txt")
  [[ $summary == *$2* ]] || fail "job $1: no '$2' in: $summary"
}

# pngs N: how many pages job N drew.
pngs() { find "$QVP_DIR/jobs/job-$1" -name 'page-*.png' | wc -l; }

# filter RASTER [OPTIONS]: rastertoquorvel's stream for RASTER.
filter() { PPD=$src/ppd/quorvel.ppd "$build/filter/rastertoquorvel" 1 user title 1 "${2:-}" "$1" 2>/dev/null || true; }

# arrived N BYTES: wait until job N's stream has at least BYTES bytes.
arrived() {
  local f=$QVP_DIR/jobs/job-$1/stream.prn
  for _ in $(seq 1 600); do
    [ "$(stat -c %s "$f" 2>/dev/null || echo 0)" -lt "$2" ] || return 0
    sleep 0.1
  done
  fail "job $1: not $2 bytes"
}

# app_printer: the application with a printer "net" on the virtual printer.
# PAPPL 1.3.1 never frees the host name of a socket device it closes, so in
# the sanitizer build this server's leaks are not checked (the file-device
# servers of the application's own tests check them).
app_printer() {
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 qapp_start "$build/app/quorvel-printer-app"
  qapp_cmd add -d net -v "socket://localhost:$QVP_PORT" -m quorvel >/dev/null
}

# cupsd_queue: a private cupsd with a queue "net" on the virtual printer.
cupsd_queue() {
  qcups_tree "$build" "$work/root"
  qcupsd_start "$work/cupsd"
  timeout 60 lpadmin -p net -E -v "socket://localhost:$QVP_PORT" -P "$src/ppd/quorvel.ppd"
}

qdoc "$work/two.pwg" 2
filter "$work/two.pwg" >"$work/two.prn"
good="2 pages, one-sided, copies 1, density 2, weight 3, well-formed"

case $case_name in
raw)
  # The watchdog the servers run under passes a stop on as SIGTERM alone:
  # a SIGCONT after it can hang a sanitizer build's leak check at exit. The
  # stand-in is stopped once it is up and the watchdog is armed, notes what
  # reaches it for half a second more, and ends by itself within a minute.
  "${QWATCH[@]}" -k 30 60 bash -c 'trap "echo TERM >>$0; stop=1" TERM; trap "echo CONT >>$0" CONT
    echo $$ >$0.up; while [ -z "${stop:-}" ] && ((SECONDS < 60)); do sleep 0.05; done; sleep 0.5' "$work/signals" \
    </dev/null >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 1 600); do [ -s "$work/signals.up" ] && qwatch_armed "$pid" && break; sleep 0.1; done
  [ -s "$work/signals.up" ] || fail "the watchdog's stand-in did not start"
  qstop "$pid"
  got=$(cat "$work/signals" 2>/dev/null | tr '\n' ' ')
  # A stand-in the stop did not reach is still running: it goes.
  [ "$got" = "TERM " ] || { kill "$(cat "$work/signals.up")" 2>/dev/null; fail "the watchdog's stop came as: '$got'"; }
  qvp_start "$preview"
  # A damaged stream: its duplex mode byte (offset 60) out of range.
  { head -c 60 "$work/two.prn"; printf '\3'; tail -c +62 "$work/two.prn"; } >"$work/bad.prn"
  cat "$work/bad.prn" >"/dev/tcp/127.0.0.1/$QVP_PORT" 2>/dev/null || true # closed on the bad byte
  expect_line 1 "0 pages, bad byte at offset 60: expected a duplex mode, 0x00 (one-sided), 0x01 (long edge) or 0x02 (short edge), found 0x03"
  job_has 1 "error: offset 60: expected a duplex mode"
  # Two connections at once, their bytes interleaved: two whole jobs.
  half=$(($(stat -c %s "$work/two.prn") / 2))
  exec 3>"/dev/tcp/127.0.0.1/$QVP_PORT" 4>"/dev/tcp/127.0.0.1/$QVP_PORT"
  head -c "$half" "$work/two.prn" >&3
  head -c "$half" "$work/two.prn" >&4
  tail -c +$((half + 1)) "$work/two.prn" >&4
  exec 4>&-
  tail -c +$((half + 1)) "$work/two.prn" >&3
  exec 3>&-
  qvp_wait 3
  for n in 2 3; do
    [ "$(qvp_line $n)" = "job $n: $good" ] || fail "job $n: $(qvp_line $n)"
    cmp "$QVP_DIR/jobs/job-$n/stream.prn" "$work/two.prn" || fail "job $n: not the bytes sent"
    [ "$(pngs $n)" = 2 ] || fail "job $n: not 2 pages drawn"
  done
  # Three jobs back to back on one connection, in one write (the jobs meet
  # inside it): the one in the middle, sent without a settings block, begins
  # with its first page. Each is a job of its own, byte for byte.
  filter "$work/two.pwg" CmdCancel=CancelAttr >"$work/bare.prn"
  cat "$work/two.prn" "$work/bare.prn" "$work/two.prn" >"$work/three.prn"
  dd if="$work/three.prn" bs=1M status=none >"/dev/tcp/127.0.0.1/$QVP_PORT"
  qvp_wait 6
  for row in "4 two $good" "5 bare 2 pages, no settings block, well-formed" "6 two $good"; do
    read -r n piece line <<<"$row"
    [ "$(qvp_line "$n")" = "job $n: $line" ] || fail "job $n: '$(qvp_line "$n")', expected '$line'"
    cmp "$QVP_DIR/jobs/job-$n/stream.prn" "$work/$piece.prn" || fail "job $n: not the $piece.prn sent"
    [ "$(pngs "$n")" = 2 ] || fail "job $n: not 2 pages drawn"
  done
  # Stopped while a job is coming: it ends as cut short, and the printer exits 0.
  exec 3>"/dev/tcp/127.0.0.1/$QVP_PORT"
  head -c 5000 "$work/two.prn" >&3
  arrived 7 5000
  kill "$QVP_PID"
  wait "$QVP_PID" || fail "the virtual printer stopped with status $?"
  QVP_PID=
  exec 3>&-
  [[ $(qvp_line 7) == "job 7: 0 pages, one-sided, copies 1, density 2, weight 3, cut short at offset 5000: expected "*"(the virtual printer was stopped)" ]] ||
    fail "job 7: $(qvp_line 7)"
  job_has 7 "end of job: no"
  ;;

app)
  qvp_start "$preview"
  app_printer
  # Submitted together: they come in turn, on one connection or one each
  # (PAPPL keeps the device open while more jobs wait), as jobs 1 and 2.
  qdoc "$work/doc.pdf" 3
  qapp_cmd submit -d net -t two "$work/two.pwg" >/dev/null
  qapp_cmd submit -d net -t doc -o copies=2 "$work/doc.pdf" >/dev/null
  expect_line 1 "$good"
  cmp "$QVP_DIR/jobs/job-1/stream.prn" "$work/two.prn" || fail "the raster's stream is not the filter's"
  expect_line 2 "3 pages, one-sided, copies 2, density 2, weight 3, well-formed"
  job_has 2 "page 3: 7015 rows"
  [ "$(pngs 1) $(pngs 2)" = "2 3" ] || fail "pages drawn: $(pngs 1) and $(pngs 2)"
  ;;

cupsd)
  qvp_start "$preview"
  cupsd_queue
  qcupsd_job net /usr/share/cups/data/testprint || fail "CUPS's test page"
  expect_line 1 "1 page, one-sided, copies 1, density 2, weight 3, well-formed"
  job_has 1 "paper 4958 x 7016 dots"
  [ "$(pngs 1)" = 1 ] || fail "no page drawn"
  ;;

slow)
  # A megabyte a second: a page of this document takes an eighth of a
  # second, the 100 pages over twelve, many times what the application needs
  # to render them, so its writes wait on the printer. The sockets' buffers
  # hold some 20 pages, which still arrive after the cancel.
  qvp_start "$preview" --rate 1000000
  qdoc "$work/long.pdf" 100
  app_printer
  id=$(qapp_cmd submit -d net -t long "$work/long.pdf" | sed 's/.*-//')
  arrived 1 100000
  qapp_cmd cancel -d net -j "$id" >/dev/null
  qvp_wait 1
  [[ $(qvp_line 1) == "job 1: "*" pages, one-sided, copies 1, density 2, weight 3, well-formed" ]] ||
    fail "cancelled in the application: $(qvp_line 1)"
  job_has 1 "end of job: yes"
  [[ $(qvp_line 1) != *" 100 pages"* ]] || fail "the application's cancel came after the last page"
  cupsd_queue
  id=$(timeout 60 lp -d net "$work/long.pdf" | sed -n 's/^request id is net-\([0-9]*\).*/\1/p')
  arrived 2 100000
  timeout 60 cancel "net-$id"
  qvp_wait 2
  [[ $(qvp_line 2) == "job 2: "*" pages, one-sided, copies 1, density 2, weight 3, well-formed" ]] ||
    fail "cancelled in cupsd: $(qvp_line 2)"
  job_has 2 "end of job: yes"
  [[ $(qvp_line 2) != *" 100 pages"* ]] || fail "cupsd's cancel came after the last page"
  cat "$QVP_DIR/lines"
  ;;

stop)
  # Stopped in the middle of a job on a slow printer: the printer's stream
  # ends whole, and the job says why it ended. The job is long enough that
  # its writes wait on the printer for seconds after the buffers between
  # them (a few megabytes) are full: it is still printing when the stop
  # comes, however fast the server renders.
  qdoc "$work/long.pdf" 200
  qvp_start "$preview" --rate 1000000
  app_printer
  qapp_cmd submit -d net -t long "$work/long.pdf" >/dev/null
  for _ in $(seq 1 300); do [ -s "$QVP_DIR/jobs/job-1/stream.prn" ] && break; sleep 0.1; done
  qapp_end || fail "the server did not stop cleanly in the middle of a job"
  qvp_wait 1
  [[ $(qvp_line 1) == *", well-formed" ]] || fail "the slow printer's stream: $(qvp_line 1)"
  grep -q -E '\[Job 1\] (Canceled|Aborted)' "$QAPP_DIR/server.log" || fail "the stop did not end the job"
  qvp_stop
  # On a printer that takes a byte a second the job soon hangs in its
  # writes; the stop shuts its connection, the job ends and the server
  # stops and exits 0 (a server still running 10 s after the stop is
  # killed, and the stop fails).
  qvp_start "$preview" --rate 1
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 qapp_restart
  qapp_cmd add -d dead -v "socket://localhost:$QVP_PORT" -m quorvel >/dev/null
  id=$(qapp_cmd submit -d dead -t stuck "$work/long.pdf" | sed 's/.*-//')
  # It hangs once the printer's buffers are full: the server's connection
  # to it holds bytes it cannot send.
  for _ in $(seq 1 600); do
    [ "$(ss -tnH state established "( dport = :$QVP_PORT )" | awk '$2 > 0' | wc -l)" -gt 0 ] && break
    sleep 0.1
  done
  qapp_end || fail "the server did not stop cleanly with its job hanging in its writes"
  grep -q -E "\[Job $id\] (Canceled|Aborted)" "$QAPP_DIR/server.log" &&
    grep -q "Shutting down system" "$QAPP_DIR/server.log" || fail "the stop left the job on the silent printer"
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
qvp_stop || fail "the virtual printer did not stop cleanly"
qapp_stop || fail "the application's sanitizer report"
echo "PASS: $case_name"
