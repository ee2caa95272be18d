#!/usr/bin/env bash
# Application tests against a private server: app_test.sh CASE BUILD-DIR SOURCE-DIR
#
#   ipp       stock ipptool tests and the driver's attributes
#   stream    PWG raster byte for byte against rastertoquorvel; JPEG and PDF
#   defaults  printer defaults reach the stream; a job's own option wins
#   cancel    a job cancelled mid-way ends well formed; the next one prints
#   bad       damaged documents, an oversized page, a printer that went away
#   load      four printers at once, five jobs each sent at once
#   documents every format and colour space, damaged and foreign documents,
#             odd attributes, the web page's test page
#   soak      four printers, 48 mixed jobs from 8 clients while others read
#   hostile   PDFs that reach for other files, spin on a page, or lose their
#             renderer; cancels and stops during a spinning page
set -euo pipefail
case_name=$1 build=$2 src=$3
here=$src/tests/app
preview=$build/tools/quorvel-preview/quorvel-preview
source "$src/tests/support/servers.sh"
trap qapp_stop EXIT
qapp_start "$build/app/quorvel-printer-app"
out=$QAPP_DIR/out work=$QAPP_DIR/work
mkdir -p "$work"
qapp_cmd add -d q1 -v "file://$out" -m quorvel >/dev/null

fail() {
  echo "FAIL: $*" >&2
  tail -n 30 "$QAPP_DIR/server.log" >&2
  exit 1
}

# submit PRINTER NAME FILE [OPTIONS...]: print FILE as job NAME, print its id.
submit() {
  local printer=$1 name=$2 file=$3 o opts=()
  shift 3
  for o in "$@"; do opts+=(-o "$o"); done
  qapp_cmd submit -d "$printer" -t "$name" ${opts[@]+"${opts[@]}"} "$file" | sed 's/.*-//'
}

# ipp PRINTER IPPTOOL-ARGS...: print-wait.test, its output in $IPP_LOG;
# prints "STATE|MESSAGE". Not its verdict: PAPPL lists job-name twice for
# jobs that the submit sub-command named, which ipptool counts as a failure.
ipp() {
  local log=${IPP_LOG:-$work/ipp.log}
  timeout 600 ipptool -T 60 -t "${@:2}" "ipp://localhost:$QAPP_PORT/ipp/print/$1" "$here/print-wait.test" >"$log" 2>&1 || true
  awk -F' = ' '/job-state \(/ {s = $2} /job-state-message/ {m = $2} END {print s "|" m}' "$log"
}

# expect_state PRINTER JOB-ID STATE [MESSAGE-PATTERN]: wait for the job's end.
expect_state() {
  local got
  got=$(ipp "$1" -d job-id="$2")
  [[ ${got%%|*} == "$3" && ${got#*|} =~ ${4:-} ]] || fail "job $2 ended '$got', expected $3 '${4:-}'"
}

# print NAME FILE [OPTIONS...]: job NAME on q1, which must complete.
print() {
  expect_state q1 "$(submit q1 "$@")" completed
}

# summary FILE: quorvel-preview's summary of a stream; fails on a damaged one.
summary() {
  "$preview" "$1" || fail "$1 is not a well-formed printer stream"
}

# has NAME PATTERN: the summary of job NAME's stream matches *PATTERN*.
has() {
  [[ $(summary "$out/$1.prn") == *$2* ]] || fail "$1: no '$2' in: $(summary "$out/$1.prn")"
}

# same NAME RASTER OPTIONS: job NAME's stream is rastertoquorvel's for RASTER.
same() {
  { PPD=$src/ppd/quorvel.ppd "$build/filter/rastertoquorvel" 1 user title 1 "$3" "$2" 2>/dev/null || true; } |
    cmp "$out/$1.prn" - || fail "$1: not the filter's stream"
}

# jpeg FILE: a grey picture with a darker square.
jpeg() {
  timeout 60 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeggray -r100 -g400x300 -sOutputFile="$1" \
    -c "0.5 setgray 0 0 200 150 rectfill showpage"
}

case $case_name in
ipp)
  qdoc "$work/one.pwg" 1
  # One after another, without waiting for the printer to be idle: a raster
  # job sent while another prints waits its turn (PAPPL itself answers
  # server-error-busy, which these tests do not retry).
  for t in get-printer-attributes.test ipp-2.0.test validate-job.test print-job-and-wait.test; do
    timeout 300 ipptool -t -f "$work/one.pwg" -d filetype=image/pwg-raster "ipp://localhost:$QAPP_PORT/ipp/print/q1" \
      "$t" >"$work/$t.log" || { cat "$work/$t.log"; fail "ipptool $t"; }
  done
  timeout 60 ipptool -t "ipp://localhost:$QAPP_PORT/ipp/print/q1" "$here/printer-attributes.test" || fail "driver attributes"
  # The web interface, including the page that lists devices to add (it
  # browses the network, with or without avahi-daemon).
  for page in / /addprinter; do
    timeout 120 curl -fsS -o /dev/null "http://localhost:$QAPP_PORT$page" || fail "web page $page"
  done
  kill -0 "$(pgrep -P "$QAPP_PID")" || fail "the server died serving its web pages"
  ;;

stream)
  qdoc "$work/two.pwg" 2
  print two "$work/two.pwg"
  same two "$work/two.pwg" ""
  jpeg "$work/pic.jpg"
  print pic "$work/pic.jpg" copies=3
  has pic "copies 3,*pages: 1*page 1: 7015 rows"
  qdoc "$work/doc.pdf" 3 842 595 3
  print doc "$work/doc.pdf" copies=2
  has doc "paper 4958 x 7008 dots, copies 2,*pages: 3*page 3: 7015 rows"
  print range "$work/doc.pdf" page-ranges=2-3
  has range "pages: 2"
  # A Letter page fits A4: Ghostscript draws it scaled onto the sheet and
  # halftones it to 1 bit, so a one-inch square is 583 to 585 rows. Shown
  # turned, the page is turned onto the sheet and the square is as tall.
  for name in square turned; do
    mark=""
    [ "$name" = square ] || mark="[/Rotate 90 /PAGE pdfmark"
    timeout 60 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dAutoRotatePages=/None -sOutputFile="$work/$name.pdf" \
      -c "$mark <</PageSize [612 792]>> setpagedevice 72 72 72 72 rectfill showpage"
    print "$name" "$work/$name.pdf"
    has "$name" "page 1: 7015 rows, 58[345] data lines"
  done
  grep -q "Rendering pages 1 to 1 onto the sheet, 1-bit, 1 at a time" "$QAPP_DIR/server.log" || fail "square: not 1-bit"
  # A renderer holds nothing of the server's: no printer's device, which
  # PAPPL opens without close-on-exec (a renderer that outlived its job
  # would keep another job's printer connection open).
  qdoc "$work/long.pdf" 40
  id=$(submit q1 long "$work/long.pdf")
  seen=
  for _ in $(seq 1 400); do
    for g in $(ps -o pid= --ppid "$(pgrep -P "$QAPP_PID")"); do
      fds=$(ls -l "/proc/$g/fd" 2>/dev/null) || continue
      seen=yes
      ! grep -q '\.prn$' <<<"$fds" || fail "a renderer holds a printer's device: $fds"
    done
    [ -z "$seen" ] || break
    sleep 0.05
  done
  [ -n "$seen" ] || fail "no renderer seen while a 40-page document printed"
  # Jobs sent while another prints are printed in the order they were sent.
  ids="$id"
  for name in first second third; do ids+=" $(submit q1 "$name" "$work/two.pwg")"; done
  for i in $ids; do expect_state q1 "$i" completed; done
  started=$(sed -n 's/.*\[Job \([0-9]*\)\] Starting print job\./\1/p' "$QAPP_DIR/server.log" | tail -n 4 | tr '\n' ' ')
  [ "$started" = "$ids " ] || fail "jobs $ids started in the order $started"
  ;;

defaults)
  qdoc "$work/one.pwg" 1
  qapp_cmd modify -d q1 -o printer-darkness-configured=100 -o paper-weight-default=heavy >/dev/null
  print plain "$work/one.pwg"
  same plain "$work/one.pwg" "PrintDensity=0Dark PaperWeight=1Heavy"
  # Darkness 100 - 45 = 55 is the medium band; the job's weight wins. Two-sided
  # jobs send what the filter sends for the same choices.
  print own "$work/one.pwg" print-darkness=-45 paper-weight=light
  same own "$work/one.pwg" "PrintDensity=2Medium PaperWeight=4Light"
  print long "$work/one.pwg" sides=two-sided-long-edge manual-duplex=off paper-weight=medium
  same long "$work/one.pwg" "PrintDensity=0Dark Duplex=DuplexNoTumble"
  print short "$work/one.pwg" sides=two-sided-short-edge manual-duplex=on paper-weight=medium
  same short "$work/one.pwg" "PrintDensity=0Dark Duplex=DuplexTumble ManualDuplex=True"
  # Letter in the tray: it becomes the default size for jobs that name none.
  qapp_cmd modify -d q1 -o media-ready=na_letter_8.5x11in >/dev/null
  print letter "$work/one.pwg"
  has letter "paper 5100 x 6600 dots"
  qapp_cmd modify -d q1 -o media-ready=iso_a4_210x297mm >/dev/null
  # The printer's defaults survive a restart, here into a spool folder whose
  # parents the server must make.
  qapp_restart -o spool-directory="$QAPP_DIR/new/spool"
  print again "$work/one.pwg"
  same again "$work/one.pwg" "PrintDensity=0Dark PaperWeight=1Heavy"
  ;;

cancel)
  # The printer is a terminal (a file device, as a serial printer is) that
  # takes the job's first bytes, then nothing until the cancel is in: once
  # the buffers between them are full, the job waits, and cannot end before
  # the cancel however fast the machine.
  qdoc "$work/long.pdf" 100
  python3 - "$work/tty" "$out/long.prn" "$work/canceled" <<'PY' &
import errno, os, sys, time, tty
name, dst, go = sys.argv[1:]
master, slave = os.openpty()
tty.setraw(slave)  # the bytes as they are written
open(name + ".tmp", "w").write(os.ttyname(slave))
os.close(slave)
os.rename(name + ".tmp", name)
got = 0
with open(dst, "wb") as out:
    while True:
        try:
            piece = os.read(master, 65536)
        except OSError as e:  # no writer: not yet, or no more
            if e.errno != errno.EIO or got:
                break
            time.sleep(0.05)
            continue
        out.write(piece)
        out.flush()
        got += len(piece)
        while got >= 65536 and not os.path.exists(go):
            time.sleep(0.05)
PY
  reader=$!
  for _ in $(seq 1 100); do [ -s "$work/tty" ] && break; sleep 0.05; done
  qapp_cmd add -d pipe -v "file://$(cat "$work/tty")" -m quorvel >/dev/null
  id=$(submit pipe long "$work/long.pdf")
  for _ in $(seq 1 300); do
    [ -s "$out/long.prn" ] && break
    sleep 0.1
  done
  qapp_cmd cancel -d pipe -j "$id" >/dev/null
  touch "$work/canceled"
  expect_state pipe "$id" canceled
  wait "$reader"
  has long "end of job: yes"
  [[ $(summary "$out/long.prn") != *"pages: 100"* ]] || fail "the cancel came after the last page"
  qdoc "$work/one.pwg" 1
  print next "$work/one.pwg"
  same next "$work/one.pwg" ""
  ;;

bad)
  qdoc "$work/two.pwg" 2
  head -c $(($(stat -c %s "$work/two.pwg") - 1000)) "$work/two.pwg" >"$work/cut.pwg"
  jpeg "$work/pic.jpg"
  head -c 2500 "$work/pic.jpg" >"$work/head.jpg"                                  # cut in its tables
  head -c $(($(stat -c %s "$work/pic.jpg") - 300)) "$work/pic.jpg" >"$work/tail.jpg" # cut in its picture
  for f in cut.pwg:"stopped early" head.jpg:"not a readable JPEG" tail.jpg:"cut short"; do
    n=${f%%:*} n=${n/./-}
    expect_state q1 "$(submit q1 "$n" "$work/${f%%:*}")" aborted "${f#*:}"
    [ ! -s "$out/$n.prn" ] || summary "$out/$n.prn" >/dev/null
  done
  [ ! -s "$out/tail-jpg.prn" ] || fail "a JPEG cut short reached the printer"
  # Text that ipptool claims is a PDF.
  printf 'This is not a PDF file.\n' >"$work/text.pdf"
  r=$(ipp q1 -d filetype=application/pdf -d jobname=text -f "$work/text.pdf")
  [[ $r == "aborted|The document is not a PDF file." ]] || fail "text sent as PDF: $r"
  [ ! -s "$out/text.prn" ] || fail "text sent as PDF reached the printer"
  # A page wider than the printer takes is left out as the filter leaves it
  # out; the job's message names it.
  qdoc "$work/wide.pwg" 3 768 841.8 2
  expect_state q1 "$(submit q1 wide "$work/wide.pwg")" aborted "^Page 2 is 6400 x 7015 pixels"
  same wide "$work/wide.pwg" ""
  # A printer that takes no data, and one that does after it.
  qapp_cmd add -d full -v file:///dev/full -m quorvel >/dev/null
  expect_state full "$(submit full gone "$work/two.pwg")" aborted "stopped taking data"
  print after "$work/two.pwg"
  ;;

load)
  # Every job sent at once, each taken at once (none refused as busy).
  qdoc "$work/two.pwg" 2
  qdoc "$work/doc.pdf" 2 842 595 2
  print two "$work/two.pwg"
  same two "$work/two.pwg" "" # the reference for the load
  send() { # PRINTER JOB FILE TYPE: its end state into $work/PRINTER-JOB
    local r
    r=$(IPP_LOG=$work/$1-$2.log ipp "$1" -d filetype="$4" -d jobname="$2" -f "$3")
    echo "${r%%|*}" >"$work/$1-$2"
  }
  pids=()
  for p in 1 2 3 4; do
    mkdir -p "$QAPP_DIR/l$p"
    qapp_cmd add -d "l$p" -v "file://$QAPP_DIR/l$p" -m quorvel >/dev/null
    for j in 1 2 3 4 5; do
      if ((j % 2)); then send "l$p" "j$j" "$work/two.pwg" image/pwg-raster &
      else send "l$p" "j$j" "$work/doc.pdf" application/pdf & fi
      pids+=($!)
    done
  done
  wait "${pids[@]}"
  ! grep -l server-error-busy "$work"/l?-j?.log || fail "jobs refused as busy"
  [ "$(cat "$work"/l?-j? | grep -c '^completed$')" = 20 ] || fail "not 20 jobs completed: $(grep -v '^completed$' "$work"/l?-j?)"
  for p in 1 2 3 4; do
    # Each printer's jobs: 3 the filter's bytes, 2 whole PDF streams, each
    # job in its own file (were two in one, they are split where a settings
    # block follows an end of job, and the count still holds).
    python3 - "$QAPP_DIR/l$p" "$out/two.prn" "$out/l$p-pdf" <<'PY' || fail "l$p: not 3 filter streams and 2 others"
import glob, re, sys
d, ref, out = sys.argv[1:]
ref = open(ref, "rb").read()
data = b"".join(open(f, "rb").read() for f in sorted(glob.glob(d + "/*.prn")))
jobs = re.split(b"(?<=\x1c\x16\x04\x45[\x00\x01])(?=" + re.escape(ref[:12]) + b")", data)
others = [j for j in jobs if j != ref]
for n, j in enumerate(others):
    open(f"{out}{n}.prn", "wb").write(j)
sys.exit(0 if len(jobs) == 5 and len(others) == 2 else 1)
PY
    has "l$p-pdf0" "pages: 2"
    has "l$p-pdf1" "pages: 2"
  done
  echo "load: 20 jobs completed"
  ;;

documents)
  # Each row: NAME TYPE EXPECTED, the file $work/NAME made below. EXPECTED
  # is completed:PAGES, aborted:MESSAGE-PATTERN or refused:STATUS.
  C=/usr/bin/convert
  g() { timeout 120 gs -q -dSAFER -dBATCH -dNOPAUSE "$@" -c "0.3 setgray 36 36 200 200 rectfill showpage" 2>/dev/null; }
  g -sDEVICE=pwgraster -r600 -dcupsColorSpace=18 -dcupsBitsPerColor=8 -g5100x6600 -sOutputFile="$work/sgray-letter.pwg"
  g -sDEVICE=pwgraster -r600 -dcupsColorSpace=3 -dcupsBitsPerColor=8 -g4960x7015 -sOutputFile="$work/black8-a4.pwg"
  g -sDEVICE=pwgraster -r300 -dcupsColorSpace=19 -dcupsBitsPerColor=8 -g2550x4200 -sOutputFile="$work/srgb-legal.pwg"
  g -sDEVICE=pwgraster -r600 -dcupsColorSpace=3 -dcupsBitsPerColor=1 -g3496x4961 -sOutputFile="$work/black1-a5.pwg"
  g -sDEVICE=appleraster -r300 -dcupsColorSpace=18 -dcupsBitsPerColor=8 -g2550x3300 -sOutputFile="$work/sgray.urf"
  g -sDEVICE=appleraster -r600 -dcupsColorSpace=19 -dcupsBitsPerColor=8 -g4960x7015 -sOutputFile="$work/srgb.urf"
  $C -size 800x600 gradient:white-black "$work/grey.jpg"
  $C -size 800x600 gradient:red-blue -interlace JPEG "$work/progressive.jpg"
  $C -size 600x800 gradient:red-blue -colorspace CMYK "$work/cmyk.jpg"
  $C -size 600x400 xc:white -fill black -draw "rectangle 0,0 50,400" -depth 16 "$work/deep.png"
  $C -size 600x400 xc:white -fill red -draw "circle 300,200 300,50" -type Palette "$work/palette.png"
  $C -size 600x400 xc:none -fill black -draw "circle 300,200 300,50" "$work/alpha.png"
  $C -size 600x400 xc:white -fill black -draw "rectangle 0,0 50,400" -interlace PNG "$work/interlaced.png"
  head -c 1500 "$work/palette.png" >"$work/cut.png"
  head -c 100 "$work/sgray-letter.pwg" >"$work/header-cut.pwg"
  head -c $(($(stat -c %s "$work/black8-a4.pwg") - 500)) "$work/black8-a4.pwg" >"$work/rows-cut.pwg"
  python3 - "$work/huge.png" <<'PY' # 20000 x 20000 white pixels, a few hundred kilobytes
import struct, sys, zlib
def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d))
z = zlib.compressobj(9); row = b'\0' + b'\xff' * 20000
data = b''.join(z.compress(row) for _ in range(20000)) + z.flush()
open(sys.argv[1], 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 20000, 20000, 8, 0, 0, 0, 0)) + chunk(b'IDAT', data) + chunk(b'IEND', b''))
PY
  qdoc "$work/doc.pdf" 2
  timeout 60 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOwnerPassword=o -sUserPassword=u -sOutputFile="$work/locked.pdf" "$work/doc.pdf"
  printf 'Just text.\n' >"$work/note.txt"
  printf '%%!PS\nshowpage\n' >"$work/page.ps"
  head -c 4096 /dev/urandom >"$work/random.bin"
  printf 'x' >"$work/byte.bin"
  cp "$work/grey.jpg" "$work/jpeg-as.png"
  cp "$work/doc.pdf" "$work/pdf-as.octet"
  while read -r name type expected; do
    r=$(IPP_LOG=$work/$name.log ipp q1 -f "$work/$name" -d filetype="$type" -d jobname="$name")
    case $expected in
    completed:*) [ "${r%%|*}" = completed ] || fail "$name: '$r', expected completed"
      has "$name" "pages: ${expected#*:}" ;;
    aborted:*) [[ ${r%%|*} == aborted && ${r#*|} =~ ${expected#*:} ]] || fail "$name: '$r', expected $expected"
      [ ! -s "$out/$name.prn" ] || summary "$out/$name.prn" >/dev/null ;;
    refused:*) grep -q "status-code = ${expected#*:}" "$work/$name.log" || fail "$name: not refused with ${expected#*:}" ;;
    esac
  done <<'ROWS'
sgray-letter.pwg image/pwg-raster completed:1
black8-a4.pwg image/pwg-raster completed:1
srgb-legal.pwg image/pwg-raster completed:1
black1-a5.pwg application/octet-stream completed:1
sgray.urf image/urf completed:1
srgb.urf application/octet-stream completed:1
grey.jpg image/jpeg completed:1
progressive.jpg application/octet-stream completed:1
cmyk.jpg image/jpeg completed:1
deep.png image/png completed:1
palette.png application/octet-stream completed:1
alpha.png image/png completed:1
interlaced.png image/png completed:1
huge.png image/png completed:1
pdf-as.octet application/octet-stream completed:2
cut.png image/png aborted:^The document is not a readable PNG image
header-cut.pwg image/pwg-raster aborted:^The raster document is damaged: it has no page
rows-cut.pwg image/pwg-raster aborted:^Page 1 ended after [0-9]+ of its 7015 rows
random.bin image/pwg-raster aborted:^The document was sent as a PWG raster document but is not one
random.bin image/urf aborted:^The document was sent as an Apple raster document but is not one
jpeg-as.png image/png aborted:^The document was sent as a PNG image but is a JPEG image
locked.pdf application/pdf aborted:^The PDF document cannot be printed: the file cannot be read as a PDF
note.txt application/octet-stream refused:client-error-document-format-not-supported
note.txt text/plain refused:client-error-document-format-not-supported
page.ps application/octet-stream refused:client-error-document-format-not-supported
random.bin application/octet-stream refused:client-error-document-format-not-supported
byte.bin application/octet-stream refused:client-error-document-format-not-supported
ROWS
  # The Letter page on A4 is scaled to fit, whole: its square is on the sheet.
  has sgray-letter.pwg "paper 4958 x 7008 dots"
  # Odd job attributes: refused, or ignored with a note, or the job says why.
  for row in "integer copies 0:client-error-attributes-or-values-not-supported" \
    "keyword print-scaling bogus:client-error-attributes-or-values-not-supported" \
    "enum print-quality 7:client-error-attributes-or-values-not-supported" \
    "keyword paper-weight bogus:client-error-attributes-or-values-not-supported" \
    "keyword manual-duplex maybe:client-error-attributes-or-values-not-supported" \
    "keyword paper-weight heavy:successful-ok" \
    "keyword sides bogus:successful-ok-ignored-or-substituted-attributes" \
    "keyword media na_foo_1x1in:successful-ok-ignored-or-substituted-attributes" \
    "enum orientation-requested 9:successful-ok-ignored-or-substituted-attributes"; do
    sed "s/@ATTR@/${row%%:*}/" "$here/print-attr.test" >"$work/attr.test"
    timeout 60 ipptool -tv -f "$work/doc.pdf" -d filetype=application/pdf "ipp://localhost:$QAPP_PORT/ipp/print/q1" \
      "$work/attr.test" | grep -q "status-code = ${row#*:}" || fail "${row%%:*}: not ${row#*:}"
  done
  expect_state q1 "$(submit q1 range "$work/doc.pdf" page-ranges=5-9)" aborted "^page-ranges selects none"
  # The web page's Print Test Page button prints the test page whole: one
  # press, and the page it answers with says so.
  page=$(timeout 30 curl -sS -c "$work/cookies" "http://localhost:$QAPP_PORT/q1/" 2>&1) || fail "the printer's page: $page"
  session=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' <<<"$page" | head -n 1)
  answer=$(timeout 30 curl -sS -w '(HTTP %{http_code})' -b "$work/cookies" -d "session=$session&action=print-test-page" \
    "http://localhost:$QAPP_PORT/q1/" 2>&1) || true
  grep -q "Test page printed" <<<"$answer" ||
    fail "the Print Test Page button (session '$session'): $(grep -o 'class="banner">[^<]*\|(HTTP [0-9]*)\|curl: .*' <<<"$answer" | tr '\n' ' ')"
  for _ in $(seq 1 100); do [ -s "$out/Test Page.prn" ] && summary "$out/Test Page.prn" 2>/dev/null | grep -q "end of job: yes" && break; sleep 0.2; done
  has "Test Page" "pages: 1*end of job: yes"
  ;;

soak)
  # 4 printers, 12 jobs each of four formats, sent by 8 clients at once;
  # meanwhile 2 clients read the web pages and the printer attributes.
  # Every job is taken at once (none refused as busy, as PAPPL's own raster
  # receipt has it) and completes, and every read is answered.
  qdoc "$work/two.pwg" 2
  qdoc "$work/doc.pdf" 2
  jpeg "$work/pic.jpg"
  /usr/bin/convert -size 300x200 xc:white -fill black -draw "rectangle 0,0 50,200" "$work/pic.png"
  for p in 1 2 3 4; do
    mkdir -p "$QAPP_DIR/s$p"
    qapp_cmd add -d "s$p" -v "file://$QAPP_DIR/s$p" -m quorvel >/dev/null
  done
  # Get-Printer-Attributes for s4 (all, media-col-database), request 1.
  python3 - "$work/gpa.ipp" "ipp://localhost:$QAPP_PORT/ipp/print/s4" <<'PY'
import struct, sys
def attr(tag, name, value):
    return bytes([tag]) + struct.pack(">H", len(name)) + name + struct.pack(">H", len(value)) + value
uri = sys.argv[2].encode()
body = (b"\x02\x00\x00\x0b\x00\x00\x00\x01\x01" + attr(0x47, b"attributes-charset", b"utf-8")
        + attr(0x48, b"attributes-natural-language", b"en") + attr(0x45, b"printer-uri", uri)
        + attr(0x44, b"requested-attributes", b"all") + attr(0x44, b"", b"media-col-database") + b"\x03")
open(sys.argv[1], "wb").write(body)
PY
  reader() {
    local end=$((SECONDS + 600))
    while [ ! -e "$work/done" ] && ((SECONDS < end)); do
      for page in / /s1/ /s2/media /s3/printing /s4/jobs /logs; do
        got=$(timeout 30 curl -fsS -o /dev/null "http://localhost:$QAPP_PORT$page" 2>&1) ||
          echo "$(date +%T) $page: ${got:-no answer}" >>"$work/reads-unanswered"
      done
      # A whole, successful answer is what counts here (an answer cut short
      # leaves curl waiting for the rest); the values are the ipp case's
      # business.
      answer=$work/gpa.$BASHPID
      got=$(timeout 30 curl -sS -o "$answer" -H "Content-Type: application/ipp" \
        --data-binary @"$work/gpa.ipp" "http://localhost:$QAPP_PORT/ipp/print/s4" 2>&1) &&
        got=$(od -An -tx1 -N4 "$answer" | tr -d ' \n') &&
        [ "$got" = 02000000 ] && grep -aq media-col-database "$answer" ||
        echo "$(date +%T) attributes: ${got:-no answer}" >>"$work/reads-unanswered"
    done
  }
  reader & r1=$!
  reader & r2=$!
  jobs_list() {
    local p j files=(two.pwg doc.pdf pic.jpg pic.png) types=(image/pwg-raster application/pdf image/jpeg image/png)
    for p in 1 2 3 4; do for j in $(seq 1 12); do echo "s$p j$j ${files[j % 4]} ${types[j % 4]}"; done; done
  }
  export -f ipp
  export QAPP_PORT work here
  jobs_list | timeout 900 xargs -P 8 -L 1 bash -c '
    r=$(IPP_LOG=$work/$0-$1.log ipp "$0" -f "$work/$2" -d filetype="$3" -d jobname="$0-$1")
    echo "${r%%|*}" >"$work/result-$0-$1"'
  touch "$work/done"
  wait "$r1" "$r2"
  ! grep -l server-error-busy "$work"/s*-j*.log || fail "jobs refused as busy"
  [ "$(cat "$work"/result-* | grep -c '^completed$')" = 48 ] || fail "not 48 jobs completed: $(grep -v '^completed$' "$work"/result-* | head)"
  [ ! -e "$work/reads-unanswered" ] || fail "reads not answered within 30 s: $(cat "$work/reads-unanswered")"
  for p in 1 2 3 4; do
    [ "$(ls "$QAPP_DIR/s$p" | wc -l)" = 12 ] || fail "s$p: not 12 streams: $(ls "$QAPP_DIR/s$p")"
    for f in "$QAPP_DIR/s$p"/*; do summary "$f" | grep -q "end of job: yes" || fail "$f is not whole"; done
  done
  echo "soak: 48 jobs completed, every read answered"
  ;;

hostile)
  # pdf FILE OBJECT...: a PDF of these objects, 1 the catalog; an object
  # "DICT|DATA" is a stream of DATA.
  pdf() {
    python3 - "$@" <<'PY'
import sys
out, objs = sys.argv[1], sys.argv[2:]
data, offsets = b"%PDF-1.4\n", []
for n, o in enumerate(objs, 1):
    o = o.encode("latin-1")
    if b"|" in o:
        d, c = o.split(b"|", 1)
        o = b"<< %s /Length %d >>\nstream\n%s\nendstream" % (d, len(c), c)
    offsets.append(len(data))
    data += b"%d 0 obj\n%s\nendobj\n" % (n, o)
xref = len(data)
data += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1) + b"".join(b"%010d 00000 n \n" % o for o in offsets)
data += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open(out, "wb").write(data)
PY
  }
  catalog="<< /Type /Catalog /Pages 2 0 R >>"
  page="/Type /Page /Parent 2 0 R /MediaBox [0 0 612 792]"
  # reader NAME FILE: one page that draws FILE's bytes as grey pixels over
  # the page, naming FILE in several ways; blank when FILE cannot be read.
  reader() {
    local img="/Type /XObject /Subtype /Image /Width 64 /Height 64 /BitsPerComponent 8 /ColorSpace /DeviceGray"
    pdf "$work/$1-f.pdf" "$catalog" "<< /Type /Pages /Kids [3 0 R] /Count 1 >>" \
      "<< $page /Resources << /XObject << /Im 5 0 R >> >> /Contents 4 0 R >>" "|q 500 0 0 700 56 46 cm /Im Do Q" \
      "$img /F ($2)|"
    pdf "$work/$1-spec.pdf" "$catalog" "<< /Type /Pages /Kids [3 0 R] /Count 1 >>" \
      "<< $page /Resources << /XObject << /Im 5 0 R >> >> /Contents 4 0 R >>" "|q 500 0 0 700 56 46 cm /Im Do Q" \
      "$img /F << /Type /Filespec /F ($2) /UF ($2) >>|"
    # A PostScript XObject, a launch action, an attached file and an
    # embedded one (opened by an action) whose data is FILE.
    pdf "$work/$1-ps.pdf" "<< /Type /Catalog /Pages 2 0 R /OpenAction << /S /Launch /F ($2) >> /Names << /EmbeddedFiles << /Names [(e) 7 0 R] >> >> >>" \
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>" \
      "<< $page /Resources << /XObject << /P 5 0 R >> >> /Contents 4 0 R /Annots [6 0 R] /AA << /O << /S /GoToE /T << /R /C /N (e) >> >> >> >>" "|/P Do" \
      "/Type /XObject /Subtype /PS|56 46 translate 500 700 scale 64 64 8 [64 0 0 64 0 0] ($2) (r) file image" \
      "<< /Type /Annot /Subtype /FileAttachment /Rect [0 0 612 792] /FS << /Type /Filespec /F ($2) >> >>" \
      "<< /Type /Filespec /F (e.pdf) /EF << /F 8 0 R >> >>" "/Type /EmbeddedFile /F ($2)|"
  }
  # spin FILE PAGES N: PAGES pages, page N of them 10^8 strokes (forms of
  # forms), the others a line.
  spin() {
    local objs=() kids="" i k
    for i in $(seq 1 "$2"); do kids+="$((2 * i + 1)) 0 R "; done
    objs=("$catalog" "<< /Type /Pages /Kids [$kids] /Count $2 >>")
    for i in $(seq 1 "$2"); do
      objs+=("<< $page /Resources << /XObject << /X $((2 * $2 + 3)) 0 R >> >> /Contents $((2 * i + 2)) 0 R >>")
      if [ "$i" = "$3" ]; then objs+=("|/X Do"); else objs+=("|72 72 m 500 500 l S"); fi
    done
    for k in 8 7 6 5 4 3 2 1; do
      objs+=("/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources << /XObject << /X $((${#objs[@]} + 2)) 0 R >> >>|$(printf '/X Do %.0s' $(seq 10))")
    done
    objs+=("/Type /XObject /Subtype /Form /BBox [0 0 612 792]|0 0 m 612 792 l S")
    pdf "$1" "${objs[@]}"
  }
  # state JOB-ID: "STATE|MESSAGE|PAGES-PRINTED" now.
  state() {
    timeout 60 ipptool -T 30 -t -d job-id="$1" "ipp://localhost:$QAPP_PORT/ipp/print/q1" "$here/job-state.test" 2>&1 |
      awk -F' = ' '/job-state \(/ {s = $2} /job-state-message/ {m = $2} /job-impressions-completed/ {p = $2} END {print s "|" m "|" p}'
  }
  # within SECONDS COMMAND...: COMMAND succeeds before SECONDS have passed.
  within() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do ((SECONDS < end)) || return 1; sleep 0.1; done
  }
  server() { pgrep -P "$QAPP_PID"; }
  # renderers: the server's renderers that hold a document open.
  renderers() {
    local g
    for g in $(pgrep -P "$(server)"); do ls -l "/proc/$g/fd" 2>/dev/null | grep -q '\.pdf$' && echo "$g"; done
    true
  }
  gone() { local p; for p in "$@"; do [ ! -e "/proc/$p" ] || grep -q '^State:.Z' "/proc/$p/status" || return 1; done; }
  printed() { [[ $(state "$1") == *"|$2" ]]; }
  spinning() { [ -n "$(renderers)" ]; }
  qdoc "$work/one.pdf" 1
  # Another user's job, held, so its document waits in the spool folder.
  held=$(submit q1 secret "$work/one.pdf" job-hold-until=indefinite)
  [[ $(state "$held") == pending-held* ]] || fail "the held job is $(state "$held")"
  secret=$(find "$QAPP_DIR" -name "p*j$(printf '%09d' "$held")-*.pdf")
  reader spool "$secret"
  reader relative "${secret#/}" # renderers run in /
  within 60 eval '[ -n "$(find "$QAPP_DIR" -name "*.state")" ]' || fail "no state file"
  reader state "$(find "$QAPP_DIR" -name "*.state")"
  reader log "$QAPP_DIR/server.log"
  reader passwd /etc/passwd
  spin "$work/spin.pdf" 2 2
  spin "$work/third.pdf" 3 3
  # The renderers are the server's least: an unprivileged user (nobody
  # when the server is root), no new privileges, no sockets (the system
  # call filter).
  id=$(submit q1 spin "$work/spin.pdf")
  within 60 spinning || fail "no renderer seen for the spinning page"
  uid=$(stat -c %u "/proc/$(server)")
  [ "$uid" != 0 ] || uid=65534
  for g in $(renderers); do
    grep -q "^Uid:.$uid\s" "/proc/$g/status" && grep -q '^NoNewPrivs:.1' "/proc/$g/status" &&
      grep -q '^Seccomp:.2' "/proc/$g/status" || fail "a renderer runs as: $(grep -E 'Uid|NoNewPrivs|Seccomp' "/proc/$g/status")"
  done
  qapp_cmd cancel -d q1 -j "$id" >/dev/null
  within 60 eval '[[ $(state "$id") == canceled* ]]' || fail "the spinning job did not end"
  # Each row: NAME FILE ACTION EXPECTED. ACTION: print the file
  # $work/FILE.pdf; cancel it, stop the server (TERM) or kill it (KILL)
  # while its last page spins, after the others printed; kill-renderer kills
  # the renderer then; limit prints it with a 3 s page limit. EXPECTED:
  # STATE[:MESSAGE-PATTERN], blank (completed, nothing drawn on its page) or
  # - (the server was stopped). The time each action has is in the driver
  # below; every stream that reached the printer is whole. After each row a
  # plain PDF prints.
  while read -r name file action expected; do
    [ "$action" != limit ] || qapp_restart -o render-time-limit=3
    id=$(submit q1 "$name" "$work/$file.pdf")
    [ -n "$id" ] || fail "$name: not taken"
    pages=$(grep -c '/Type /Page ' "$work/$file.pdf")
    case $action in
    cancel | stop | kill | kill-renderer)
      within 120 printed "$id" $((pages - 1)) || fail "$name: not $((pages - 1)) pages printed: $(state "$id")"
      within 30 spinning || fail "$name: no renderer on its last page"
      watched=$(renderers) all=$(pgrep -P "$(server)" | tr '\n' ' ') ;;
    esac
    case $action in
    cancel) qapp_cmd cancel -d q1 -j "$id" >/dev/null
      within 7 gone $watched || fail "$name: its renderers still run 7 s after the cancel" ;;
    kill-renderer) kill -KILL $watched ;;
    stop) kill -TERM "$(server)"
      within 10 eval '! kill -0 "$QAPP_PID" 2>/dev/null' || fail "$name: the server still runs 10 s after its stop"
      within 5 gone $all || fail "$name: processes left after the server's stop: $all"
      wait "$QAPP_PID" 2>/dev/null || true
      ! grep -E 'Sanitizer|runtime error' "$QAPP_DIR/server.out" || fail "$name: the server's sanitizer report"
      has "$name" "end of job: yes"
      qapp_start "$QAPP_BIN" ;;
    kill) killed=$(server)
      kill -KILL "$killed"
      within 5 gone $all || fail "$name: renderers left 5 s after the server was killed: $all"
      wait "$QAPP_PID" 2>/dev/null || true
      qapp_start "$QAPP_BIN" ;;
    esac
    case $expected in
    -) ;;
    blank) r=$(ipp q1 -d job-id="$id")
      [ "${r%%|*}" = completed ] || fail "$name: '$r', expected completed"
      has "$name" "pages: 1*page 1: 7015 rows, 0 data lines" ;;
    *) r=$(ipp q1 -d job-id="$id")
      [[ ${r%%|*} == "${expected%%:*}" && ${r#*|} =~ ${expected#*:} ]] || fail "$name: '$r', expected $expected"
      [ ! -s "$out/$name.prn" ] || has "$name" "end of job: yes" ;;
    esac
    [ "$action" != limit ] || qapp_restart
    print "after-$name" "$work/one.pdf"
    # The killed server's renderer folders, documents in them, are cleared
    # by the next server.
    [ "$action" != kill ] || [ -z "$(ls -d /tmp/quorvel-render-"$killed"-* "$TMPDIR"/quorvel-render-"$killed"-* 2>/dev/null)" ] ||
      fail "$name: the killed server's renderer folders are left"
  done <<'ROWS'
spool-f spool-f print blank
spool-spec spool-spec print blank
spool-ps spool-ps print blank
relative-f relative-f print blank
state-f state-f print blank
state-spec state-spec print blank
log-f log-f print blank
passwd-f passwd-f print blank
passwd-ps passwd-ps print blank
spin-cancel spin cancel canceled
spin-limit spin limit aborted:^Page 2 took longer than 3 seconds to render\.$
third-killed third kill-renderer aborted:^The PDF renderer stopped after 2 of 3 pages: it was killed\.$
spin-stop spin stop -
spin-kill spin kill -
ROWS
  # Spare renderers wait between jobs, past the end of the job's thread.
  sleep 1
  [ "$(pgrep -P "$(server)" -x gs | wc -l)" -ge 2 ] || fail "no spare renderers between jobs"
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
qapp_stop || fail "the server's sanitizer report"
echo "PASS: $case_name"
