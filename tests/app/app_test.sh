#!/usr/bin/env bash
# Application tests against a private server: app_test.sh CASE BUILD-DIR SOURCE-DIR
#
#   ipp       stock ipptool tests and the driver's attributes
#   stream    PWG raster byte for byte against rastertoquorvel; JPEG and PDF
#   defaults  printer defaults reach the stream; a job's own option wins
#   cancel    a job cancelled mid-way ends well formed; the next one prints
#   bad       damaged documents, an oversized page, a printer that went away
#   load      four printers at once, five jobs each sent at once
set -euo pipefail
case_name=$1 build=$2 src=$3
here=$src/tests/app
app=$build/app/quorvel-printer-app
filter=$build/filter/rastertoquorvel
preview=$build/tools/quorvel-preview/quorvel-preview
raster=$build/tests/app/qapp_raster
source "$here/server.sh"
trap qapp_stop EXIT

qapp_start "$app"
out=$QAPP_DIR/out work=$QAPP_DIR/work
mkdir -p "$work"
qapp_cmd add -d q1 -v "file://$out" -m quorvel >/dev/null
uri=ipp://localhost:$QAPP_PORT/ipp/print/q1

fail() {
  echo "FAIL: $*" >&2
  tail -n 30 "$QAPP_DIR/server.log" >&2
  exit 1
}

# submit PRINTER NAME FILE [OPTIONS...]: print FILE as job NAME, print its id.
submit() {
  local printer=$1 name=$2 file=$3
  shift 3
  local opts=() o
  for o in "$@"; do opts+=(-o "$o"); done
  qapp_cmd submit -d "$printer" -t "$name" ${opts[@]+"${opts[@]}"} "$file" | sed 's/.*-//'
}

# ended PRINTER JOB-ID: wait for the job's end; print "STATE|MESSAGE".
# ipptool's verdict is not used: PAPPL lists job-name twice for jobs that
# the submit sub-command named, which ipptool counts as a failure.
ended() {
  { timeout 300 ipptool -t -d jobid="$2" "ipp://localhost:$QAPP_PORT/ipp/print/$1" "$here/job-state.test" || true; } |
    awk -F' = ' '/job-state \(/ {s = $2} /job-state-message/ {m = $2} END {print s "|" m}'
}

# expect_state PRINTER JOB-ID STATE [MESSAGE-PATTERN]
expect_state() {
  local got
  got=$(ended "$1" "$2")
  [[ ${got%%|*} == "$3" ]] || fail "job $2: state ${got%%|*}, expected $3 (${got#*|})"
  [[ -z ${4:-} || ${got#*|} =~ $4 ]] || fail "job $2: message '${got#*|}' does not match '$4'"
}

# summary FILE: quorvel-preview's summary of a stream; fails on a damaged one.
summary() {
  "$preview" "$1" || fail "$1 is not a well-formed printer stream"
}

# filter_stream RASTER OPTIONS: what rastertoquorvel sends for it.
filter_stream() {
  PPD=$src/ppd/quorvel.ppd "$filter" 1 user title 1 "$2" "$1" 2>/dev/null || true
}

# pdf FILE PAGES: a PDF of Letter pages, the last one landscape A4.
pdf() {
  local ps="" i
  for i in $(seq 1 "$2"); do
    if [ "$i" -eq "$2" ] && [ "$2" -gt 1 ]; then
      ps+="<</PageSize [842 595]>> setpagedevice "
    else
      ps+="<</PageSize [612 792]>> setpagedevice "
    fi
    ps+="/Helvetica findfont 60 scalefont setfont 72 400 moveto (Page $i) show 36 36 moveto 500 500 lineto 8 setlinewidth stroke showpage "
  done
  printf '%s\n' "$ps" >"$1.ps"
  timeout 120 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$1" "$1.ps"
}

case $case_name in
ipp)
  printf 'Quorvel test document\n' >"$work/doc.txt"
  "$raster" "$work/one.pwg" 1
  for t in get-printer-attributes.test ipp-2.0.test validate-job.test print-job-and-wait.test; do
    timeout 300 ipptool -t -f "$work/one.pwg" -d filetype=image/pwg-raster "$uri" "$t" >"$work/$t.log" ||
      { cat "$work/$t.log"; fail "ipptool $t"; }
  done
  timeout 60 ipptool -t "$uri" "$here/printer-attributes.test" || fail "driver attributes"
  # The web interface, including the page that lists devices to add (it
  # browses the network, with or without avahi-daemon).
  for page in / /addprinter; do
    timeout 120 curl -fsS -o /dev/null "http://localhost:$QAPP_PORT$page" || fail "web page $page"
  done
  kill -0 "$(pgrep -P "$QAPP_PID")" || fail "the server died serving its web pages"
  ;;

stream)
  "$raster" "$work/two.pwg" 2
  id=$(submit q1 two "$work/two.pwg")
  expect_state q1 "$id" completed
  filter_stream "$work/two.pwg" "" >"$work/filter.prn"
  cmp "$out/two.prn" "$work/filter.prn" || fail "PWG raster stream differs from rastertoquorvel's"

  timeout 60 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeggray -r100 -g400x300 \
    -sOutputFile="$work/pic.jpg" -c "0.5 setgray 0 0 200 150 rectfill showpage"
  id=$(submit q1 pic "$work/pic.jpg" copies=3)
  expect_state q1 "$id" completed
  s=$(summary "$out/pic.prn")
  [[ $s == *"copies 3,"* && $s == *"pages: 1"* && $s == *"page 1: 7015 rows"* ]] ||
    fail "JPEG, 3 copies: $s"

  pdf "$work/doc.pdf" 3
  id=$(submit q1 doc "$work/doc.pdf" copies=2)
  expect_state q1 "$id" completed
  s=$(summary "$out/doc.prn")
  [[ $s == *"paper 4958 x 7008 dots, copies 2,"* && $s == *"pages: 3"* && $s == *"page 3: 7015 rows"* ]] ||
    fail "PDF, 2 copies: $s"
  rm -f "$out"/doc-*.png
  "$preview" --output "$work/doc" "$out/doc.prn" >/dev/null
  [ -s "$work/doc-3.png" ] || fail "PDF pages as PNG"

  # A Letter page fits A4 upright, so Ghostscript halftones it to 1 bit
  # itself: a one-inch square at 583.5 dpi is 583 to 585 rows of ink.
  printf '<</PageSize [612 792]>> setpagedevice 72 72 72 72 rectfill showpage\n' >"$work/square.ps"
  timeout 60 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile="$work/square.pdf" "$work/square.ps"
  id=$(submit q1 square "$work/square.pdf")
  expect_state q1 "$id" completed
  grep -q "\[Job $id\] Rendering pages 1 to 1 at 583.5 dpi, 1-bit" "$QAPP_DIR/server.log" || fail "square: not 1-bit"
  [[ $(summary "$out/square.prn") =~ "page 1: 7015 rows, 58"[345]" data lines" ]] || fail "square: $(summary "$out/square.prn")"
  # The same page shown turned (/Rotate 90) is landscape: it is turned onto
  # the sheet, which takes grey rows.
  printf '[/Rotate 90 /PAGE pdfmark ' | cat - "$work/square.ps" >"$work/turned.ps"
  timeout 60 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dAutoRotatePages=/None \
    -sOutputFile="$work/turned.pdf" "$work/turned.ps"
  id=$(submit q1 turned "$work/turned.pdf")
  expect_state q1 "$id" completed
  grep -q "\[Job $id\] Rendering pages 1 to 1 at .* dpi, grey" "$QAPP_DIR/server.log" || fail "turned page: not grey"

  id=$(submit q1 range "$work/doc.pdf" page-ranges=2-3)
  expect_state q1 "$id" completed
  [[ $(summary "$out/range.prn") == *"pages: 2"* ]] || fail "page-ranges=2-3"
  ;;

defaults)
  "$raster" "$work/one.pwg" 1
  qapp_cmd modify -d q1 -o printer-darkness-configured=90 -o paper-weight-default=heavy >/dev/null
  id=$(submit q1 plain "$work/one.pwg")
  expect_state q1 "$id" completed
  filter_stream "$work/one.pwg" "PrintDensity=0Dark PaperWeight=1Heavy" >"$work/dark.prn"
  cmp "$out/plain.prn" "$work/dark.prn" || fail "printer defaults did not reach the stream"

  # Darkness 90 - 45 = 45 is the medium band; the job's weight wins.
  id=$(submit q1 own "$work/one.pwg" print-darkness=-45 paper-weight=light)
  expect_state q1 "$id" completed
  filter_stream "$work/one.pwg" "PrintDensity=2Medium PaperWeight=4Light" >"$work/own.prn"
  cmp "$out/own.prn" "$work/own.prn" || fail "the job's own options did not win"

  # Two-sided jobs send what the filter sends for the same choices.
  for sides in long-edge:DuplexNoTumble:off:False short-edge:DuplexTumble:on:True; do
    IFS=: read -r edge duplex manual manualPpd <<<"$sides"
    id=$(submit q1 "$edge" "$work/one.pwg" sides=two-sided-$edge manual-duplex=$manual paper-weight=medium)
    expect_state q1 "$id" completed
    filter_stream "$work/one.pwg" "PrintDensity=0Dark Duplex=$duplex ManualDuplex=$manualPpd" |
      cmp "$out/$edge.prn" - || fail "two-sided ($edge) differs from the filter"
  done

  # Letter in the tray: it becomes the default size for jobs that name none.
  qapp_cmd modify -d q1 -o media-ready=na_letter_8.5x11in >/dev/null
  id=$(submit q1 letter "$work/one.pwg")
  expect_state q1 "$id" completed
  [[ $(summary "$out/letter.prn") == *"paper 5100 x 6600 dots"* ]] || fail "Letter as the ready media"
  qapp_cmd modify -d q1 -o media-ready=iso_a4_210x297mm >/dev/null

  # The state survives a restart.
  port=$QAPP_PORT
  kill "$QAPP_PID"
  wait "$QAPP_PID" || true
  timeout 900 "$app" server -o server-port="$port" -o listen-hostname=localhost \
    -o server-options=no-tls -o log-file="$QAPP_DIR/server2.log" </dev/null >"$QAPP_DIR/server2.out" 2>&1 &
  QAPP_PID=$!
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
  id=$(submit q1 again "$work/one.pwg")
  expect_state q1 "$id" completed
  cmp "$out/again.prn" "$work/dark.prn" || fail "printer defaults lost in a restart"
  ;;

cancel)
  pdf "$work/long.pdf" 40
  id=$(submit q1 long "$work/long.pdf")
  for _ in $(seq 1 300); do
    [ -s "$out/long.prn" ] && break
    sleep 0.1
  done
  qapp_cmd cancel -d q1 -j "$id" >/dev/null
  expect_state q1 "$id" canceled
  s=$(summary "$out/long.prn")
  [[ $s == *"end of job: yes"* && $s != *"pages: 40"* ]] || fail "cancelled job: $s"
  "$raster" "$work/one.pwg" 1
  id=$(submit q1 next "$work/one.pwg")
  expect_state q1 "$id" completed
  filter_stream "$work/one.pwg" "" | cmp "$out/next.prn" - || fail "the job after a cancel"
  ;;

bad)
  "$raster" "$work/two.pwg" 2
  head -c 100000 "$work/two.pwg" >"$work/cut.pwg"
  timeout 60 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeggray -r100 -g400x300 \
    -sOutputFile="$work/pic.jpg" -c "0.5 setgray 0 0 200 150 rectfill showpage"
  size=$(stat -c %s "$work/pic.jpg")
  head -c 2500 "$work/pic.jpg" >"$work/head.jpg"           # cut in its tables
  head -c $((size - 300)) "$work/pic.jpg" >"$work/tail.jpg" # cut in its picture
  printf 'This is not a PDF file.\n' >"$work/text.pdf"
  # The raster and the JPEGs go as submit sends them; the text goes with
  # ipptool, which can claim it is a PDF.
  for f in cut.pwg:"stopped early" head.jpg:"not a readable JPEG" tail.jpg:"cut short"; do
    n=${f%%:*} n=${n/./-}
    id=$(submit q1 "$n" "$work/${f%%:*}")
    expect_state q1 "$id" aborted "${f#*:}"
    [ ! -s "$out/$n.prn" ] || summary "$out/$n.prn" >/dev/null
  done
  [ ! -s "$out/tail-jpg.prn" ] || fail "a JPEG cut short reached the printer"
  r=$( (timeout 300 ipptool -T 60 -t -d filetype=application/pdf -d jobname=text -f "$work/text.pdf" "$uri" \
    "$here/print-wait.test" || true) | awk -F' = ' '/job-state \(/ {s = $2} /job-state-message/ {m = $2} END {print s "|" m}')
  [[ $r == "aborted|The document is not a PDF file." ]] || fail "text sent as PDF: $r"
  [ ! -s "$out/text.prn" ] || fail "text sent as PDF reached the printer"

  # A page wider than the printer takes is left out as the filter leaves it
  # out; the job's message names it.
  "$raster" "$work/wide.pwg" 3 4960 7015 2
  id=$(submit q1 wide "$work/wide.pwg")
  expect_state q1 "$id" aborted "^Page 2 is 6400 x 7015 pixels"
  filter_stream "$work/wide.pwg" "" | cmp "$out/wide.prn" - || fail "wide page: not the filter's stream"

  # A printer that takes no data.
  qapp_cmd add -d full -v file:///dev/full -m quorvel >/dev/null
  id=$(submit full gone "$work/two.pwg")
  expect_state full "$id" aborted "stopped taking data"

  id=$(submit q1 after "$work/two.pwg")
  expect_state q1 "$id" completed
  ;;

load)
  # Every job is sent at once; a client told the server is busy sends again
  # (the retries are counted). PWG rasters must be the filter's bytes, PDFs
  # whole streams.
  "$raster" "$work/two.pwg" 2
  pdf "$work/doc.pdf" 2
  filter_stream "$work/two.pwg" "" >"$work/filter.prn"
  for p in 1 2 3 4; do
    mkdir -p "$QAPP_DIR/l$p"
    qapp_cmd add -d "l$p" -v "file://$QAPP_DIR/l$p" -m quorvel >/dev/null
  done
  send() { # PRINTER JOB FILE TYPE: "RETRIES STATE" into $work/PRINTER-JOB
    local tries=0
    while ! timeout 600 ipptool -T 60 -t -d filetype="$4" -d jobname="$2" -f "$3" \
      "ipp://localhost:$QAPP_PORT/ipp/print/$1" "$here/print-wait.test" >"$work/$1-$2.log" 2>&1 &&
      grep -q server-error-busy "$work/$1-$2.log"; do
      tries=$((tries + 1))
      sleep 0.5
    done
    echo "$tries $(awk -F' = ' '/job-state \(/ {s = $2} END {print s}' "$work/$1-$2.log")" >"$work/$1-$2"
  }
  pids=()
  for p in 1 2 3 4; do
    for j in 1 2 3 4 5; do
      if ((j % 2)); then send "l$p" "j$j" "$work/two.pwg" image/pwg-raster &
      else send "l$p" "j$j" "$work/doc.pdf" application/pdf & fi
      pids+=($!)
    done
  done
  wait "${pids[@]}"
  retries=0
  for p in 1 2 3 4; do
    for j in 1 2 3 4 5; do
      read -r tries state <"$work/l$p-j$j"
      [ "$state" = completed ] || { cat "$work/l$p-j$j.log"; fail "l$p job j$j: ${state:-no answer}"; }
      retries=$((retries + tries))
    done
    # What each printer received, job by job: PAPPL 1.3.1 may put two jobs
    # that overlapped into one job's file, one after the other. Each job
    # starts with the settings block right after the end of the one before.
    python3 - "$QAPP_DIR/l$p" "$work/filter.prn" "$work/l$p-pdf" <<'PY' || fail "l$p: not 3 filter streams and 2 others"
import glob, sys
d, ref, out = sys.argv[1:]
ref = open(ref, "rb").read()
data = b"".join(open(f, "rb").read() for f in sorted(glob.glob(d + "/*.prn")))
start, end = ref[:12], (b"\x1c\x16\x04\x45\x00", b"\x1c\x16\x04\x45\x01")
cuts, i = [0], data.find(start, 1)
while i > 0:
    if data[i - 5:i] in end:
        cuts.append(i)
    i = data.find(start, i + 1)
cuts.append(len(data))
jobs = [data[a:b] for a, b in zip(cuts, cuts[1:])]
others = [j for j in jobs if j != ref]
for n, j in enumerate(others):
    open(f"{out}{n}.prn", "wb").write(j)
sys.exit(0 if len(jobs) == 5 and len(others) == 2 else 1)
PY
    for n in 0 1; do
      [[ $(summary "$work/l$p-pdf$n.prn") == *"pages: 2"* ]] || fail "l$p: a PDF job is not two pages"
    done
  done
  echo "load: 20 jobs completed, $retries retries after server-error-busy"
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
qapp_stop || fail "the server's sanitizer report"
echo "PASS: $case_name"
