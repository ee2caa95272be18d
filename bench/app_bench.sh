#!/usr/bin/env bash
# Application benchmark: a set of documents through the printer application
# to a file device, through cupsfilter with our PPD to our filter, and
# through Ghostscript alone, in interleaved rounds of one run; then the
# application's memory while twenty jobs run on four printers.
#
#   bash bench/app_bench.sh            # figures into out/bench/app-results.md
#
# Environment:
#   BENCH_PDF      the text document (default: the libtasn1 manual, Letter)
#   BENCH_PHOTO    the photo the scanned pages are made of (default: a
#                  photograph from Debian's plasma-workspace-wallpapers,
#                  installed when missing)
#   BENCH_DOCS     the documents to run (default: all, see below)
#   BENCH_ROUNDS   rounds, each one job per document and road (default 7)
#   BENCH_OUT      where inputs and results go (default out/bench)
#   BENCH_BUILD    the build to measure (default build-bench-app, Release)
#
# The documents, all made from pages 1-10 of BENCH_PDF and the photo, run
# in this order (the application keeps renderers started for the sheet it
# printed last, so the first two jobs of a round start theirs cold):
#   a4-letter     the ten pages made A4, on Letter sheets
#   letter-a4     the ten Letter pages on A4 sheets
#   a4-a4         the A4 pages on A4
#   landscape     the pages made landscape A4, on A4 (each page turned)
#   mixed         Letter, A4 and landscape pages in turn, on A4
#   photo         three A4 pages, each a 300 dpi grey scan of the photo
#
# For each document, road and round: the wall time from the start until the
# job has ended, the time until the first byte of the printer stream reaches
# the device (the application's file, cupsfilter's output), and CPU seconds
# of every process of the road, renderers included (the server's own and
# its reaped children's, plus the submitting client; cupsfilter and all its
# filters). The third road is Ghostscript alone rendering the same pages 1
# bit at the sheet's size (pbmraw, -dPDFFitPage) to /dev/null: the floor the
# application is held against. Memory: the server's peak resident set
# (VmHWM) after 20 jobs, 5 on each of 4 printers (two-page PWG rasters and
# two-page PDFs in turn), and the peak of the largest Ghostscript it ran.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${BENCH_OUT:-$root/out/bench}
rounds=${BENCH_ROUNDS:-7}
pdf=${BENCH_PDF:-/usr/share/doc/libtasn1-doc/libtasn1.pdf}
photo=${BENCH_PHOTO:-/usr/share/wallpapers/Path/contents/images/1280x1024.jpg}
docs=${BENCH_DOCS:-a4-letter letter-a4 a4-a4 landscape mixed photo}
build=${BENCH_BUILD:-$root/build-bench-app}

# The set-up installs the default document too (libtasn1-doc); the photo's
# package is large and only this benchmark wants it.
bash "$root/scripts/setup.sh"
[ -f "$pdf" ] || { echo "app_bench: no document at $pdf" >&2; exit 1; }
if [ ! -f "$photo" ] && [ -z "${BENCH_PHOTO:-}" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends plasma-workspace-wallpapers >/dev/null
fi
[ -f "$photo" ] || { echo "app_bench: no photo at $photo" >&2; exit 1; }

if [ -z "${BENCH_BUILD:-}" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=ON >/dev/null
  cmake --build "$build" -j2 >/dev/null
fi
app=$build/app/quorvel-printer-app
preview=$build/tools/quorvel-preview/quorvel-preview
[ -x "$app" ] || { echo "app_bench: no printer application in $build (PAPPL missing?)" >&2; exit 1; }

mkdir -p "$out"
tmp=${TMPDIR:-/tmp}
work=$(mktemp -d "$tmp/appbench.XXXXXX")
chmod 0755 "$work"
source "$root/tests/support/servers.sh"
trap 'qapp_stop; rm -rf "$work"' EXIT
qcups_tree "$build" "$work/root"
ppd=$QCUPS_DATADIR/model/quorvel/quorvel.ppd

# The documents. Ghostscript's pdfwrite makes the A4 and landscape versions
# of the text pages, fitted so nothing is cut (on landscape media a portrait
# page is turned).
gsw() { timeout 300 gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -dAutoRotatePages=/None "$@" 2>/dev/null; }
pdfseparate -f 1 -l 10 "$pdf" "$work/page-%d.pdf" 2>/dev/null
pdfunite $(for i in $(seq 1 10); do echo "$work/page-$i.pdf"; done) "$work/letter-a4.pdf" 2>/dev/null
gsw -dDEVICEWIDTHPOINTS=595 -dDEVICEHEIGHTPOINTS=842 -dFIXEDMEDIA -dPDFFitPage -o "$work/a4-a4.pdf" "$work/letter-a4.pdf"
cp "$work/a4-a4.pdf" "$work/a4-letter.pdf"
gsw -dDEVICEWIDTHPOINTS=842 -dDEVICEHEIGHTPOINTS=595 -dFIXEDMEDIA -dPDFFitPage -o "$work/landscape.pdf" "$work/letter-a4.pdf"
for d in a4-a4 landscape; do pdfseparate "$work/$d.pdf" "$work/$d-%d.pdf" 2>/dev/null; done
pdfunite $(for i in $(seq 1 10); do case $((i % 3)) in 1) echo "$work/page-$i.pdf" ;; 2) echo "$work/a4-a4-$i.pdf" ;;
  0) echo "$work/landscape-$i.pdf" ;; esac; done) "$work/mixed.pdf" 2>/dev/null
# A scan: the photo in grey at 300 dpi across an A4 page, white round it,
# as JPEG in a PDF of three such pages.
convert "$photo" -colorspace Gray -resize 2300x -gravity center -background white -extent 2480x3508 \
  -quality 85 "$work/scan.jpg"
python3 - "$work/scan.jpg" "$work/photo.pdf" 3 <<'PY'
import sys
jpeg, out, pages = open(sys.argv[1], "rb").read(), sys.argv[2], int(sys.argv[3])
objs = [b"<< /Type /Catalog /Pages 2 0 R >>",
        b"<< /Type /Pages /Kids [" + b" ".join(b"%d 0 R" % (4 + 2 * i) for i in range(pages)) + b"] /Count %d >>" % pages,
        b"<< /Type /XObject /Subtype /Image /Width 2480 /Height 3508 /ColorSpace /DeviceGray /BitsPerComponent 8"
        b" /Filter /DCTDecode /Length %d >>\nstream\n" % len(jpeg) + jpeg + b"\nendstream"]
draw = b"q 595.2 0 0 841.9 0 0 cm /Im Do Q"
for i in range(pages):
    objs.append(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595.2 841.9] /Resources << /XObject << /Im 3 0 R >> >>"
                b" /Contents %d 0 R >>" % (5 + 2 * i))
    objs.append(b"<< /Length %d >>\nstream\n" % len(draw) + draw + b"\nendstream")
data, offsets = b"%PDF-1.4\n", []
for n, o in enumerate(objs, 1):
    offsets.append(len(data))
    data += b"%d 0 obj\n" % n + o + b"\nendobj\n"
xref = len(data)
data += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1) + b"".join(b"%010d 00000 n \n" % o for o in offsets)
data += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open(out, "wb").write(data)
PY
pdfunite "$work/page-1.pdf" "$work/page-2.pdf" "$work/two.pdf" 2>/dev/null
qdoc "$work/two.pwg" 2 # two A4 pages of 1-bit raster at 600 dpi

# sheet DOC: the sheet a document is printed on: the application's media,
# cupsfilter's PageSize, Ghostscript's size in pixels at 600 dpi.
sheet() {
  case $1 in
  a4-letter) echo "na_letter_8.5x11in Letter 5100x6600" ;;
  *) echo "iso_a4_210x297mm A4 4960x7015" ;;
  esac
}

echo "app_bench: $rounds interleaved rounds of: $docs; application, CUPS, Ghostscript alone" >&2
qapp_start "$app" -o log-level=info
server_pid=$(pgrep -P "$QAPP_PID")
qapp_cmd add -d q1 -v "file://$QAPP_DIR/out" -m quorvel >/dev/null
for d in $docs; do echo "$d $(sheet "$d")"; done >"$work/sheets.txt"
python3 - "$rounds" "$work" "$app" "$QCUPS_FILES" "$ppd" "$server_pid" "$QAPP_DIR" \
  <"$work/sheets.txt" >"$out/app-rounds.txt" <<'PY'
import os, re, resource, subprocess, sys, time
rounds, work, app, files, ppd, spid, qdir = sys.argv[1:8]
docs = [line.split() for line in open(f"{work}/sheets.txt") if line.strip()]
tick = os.sysconf("SC_CLK_TCK")
def kids():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime
def server():
    f = open(f"/proc/{spid}/stat").read().rsplit(")", 1)[1].split()
    return sum(int(x) for x in f[11:15]) / tick  # utime stime cutime cstime
# piped: run a command whose standard output is the printer stream; the
# times of its start, first byte and end.
def piped(cmd, name):
    t0 = time.monotonic()
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    first = None
    with open(f"{work}/{name}.prn", "wb") as o:
        while chunk := p.stdout.read1(65536):
            first = first or time.monotonic()
            o.write(chunk)
    p.wait()
    end = time.monotonic()
    return t0, first or end, end
# measure: one job of a document on a road; prints "DOC ROAD WALL FIRST CPU".
def measure(road, doc, media, size, g, r):
    pdf, name = f"{work}/{doc}.pdf", f"{doc}-{road}{r}"
    c0 = kids()
    if road == "cups":
        t0, first, end = piped(["cupsfilter", "-c", files, "-p", ppd, "-e", "-m", "printer/quorvel",
                                "-o", f"PageSize={size}", pdf], name)
        cpu = kids() - c0
    elif road == "gs":
        t0 = time.monotonic()
        subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pbmraw", "-r600", f"-g{g}",
                        "-dFIXEDMEDIA", "-dPDFFitPage", "-sOutputFile=/dev/null", pdf], check=True)
        end = time.monotonic()
        first, cpu = end, kids() - c0
    else:
        s0 = server()
        log = open(f"{qdir}/server.log")
        log.seek(0, 2)
        prn = f"{qdir}/out/{name}.prn"
        t0 = time.monotonic()
        sub = subprocess.run([app, "submit", "-d", "q1", "-t", name, "-o", f"media={media}", pdf],
                             capture_output=True, text=True, timeout=120)
        job = sub.stdout.strip().rsplit("-", 1)[-1]
        done = re.compile(rf"\[Job {job}\] (Completed|Aborted|Canceled)")
        first, text = None, ""
        while time.monotonic() - t0 < 600:
            if first is None and os.path.exists(prn) and os.path.getsize(prn) > 0:
                first = time.monotonic()
            text += log.read()
            if done.search(text):
                break
            time.sleep(0.002)
        end = time.monotonic()
        first = first or end
        cpu = server() - s0 + kids() - c0
    print(f"{doc} {road} {end - t0:.3f} {first - t0:.3f} {cpu:.2f}", flush=True)
# A pause before each job lets what the last one left running (the
# application starts its next renderers as a job ends) finish first, so it
# does not count against the next road.
for r in range(1, int(rounds) + 1):
    for doc, media, size, g in docs:
        for road in ("app", "cups", "gs"):
            time.sleep(0.3)
            measure(road, doc, media, size, g, r)
PY
for d in $docs; do
  want=$(pdfinfo "$work/$d.pdf" 2>/dev/null | sed -n 's/^Pages: *//p')
  pages_app=$("$preview" "$QAPP_DIR/out/$d-app$rounds.prn" | sed -n 's/^pages: //p')
  pages_cups=$("$preview" "$work/$d-cups$rounds.prn" | sed -n 's/^pages: //p')
  [ "$pages_app" = "$want" ] && [ "$pages_cups" = "$want" ] ||
    { echo "app_bench: $d: pages: application $pages_app, CUPS $pages_cups, document $want" >&2; exit 1; }
  # Both roads' pages of the last round, to look at side by side.
  rm -rf "$out/pages/$d"
  mkdir -p "$out/pages/$d"
  "$preview" --output "$out/pages/$d/app" "$QAPP_DIR/out/$d-app$rounds.prn" >/dev/null
  "$preview" --output "$out/pages/$d/cups" "$work/$d-cups$rounds.prn" >/dev/null
done
qapp_stop
QAPP_DIR= # the next server gets a folder of its own

echo "app_bench: memory, 20 jobs on 4 printers" >&2
# Each Ghostscript the server starts runs under /usr/bin/time for its peak.
mkdir -p "$work/shim"
printf '#!/bin/sh\nexec /usr/bin/time -a -o %s -f %%M "%s" "$@"\n' "$work/gs-peaks.txt" "$(command -v gs)" >"$work/shim/gs"
chmod +x "$work/shim/gs"
TMPDIR=$tmp PATH=$work/shim:$PATH qapp_start "$app" -o log-level=info
server_pid=$(pgrep -P "$QAPP_PID")
for p in 1 2 3 4; do
  mkdir -p "$QAPP_DIR/l$p"
  qapp_cmd add -d "l$p" -v "file://$QAPP_DIR/l$p" -m quorvel >/dev/null
done
# The printers at once, each printer's five jobs in turn: PAPPL 1.3.1 can
# hang for good when it tells a raster client it is busy (see README.md).
pids=()
for p in 1 2 3 4; do
  for j in 1 2 3 4 5; do
    if ((j % 2)); then set -- image/pwg-raster "$work/two.pwg"; else set -- application/pdf "$work/two.pdf"; fi
    timeout 600 ipptool -T 60 -t -d filetype="$1" -d jobname="j$j" -f "$2" \
      "ipp://localhost:$QAPP_PORT/ipp/print/l$p" "$root/tests/app/print-wait.test" >"$work/l$p-j$j.log" ||
      { echo "app_bench: l$p j$j failed" >&2; cat "$work/l$p-j$j.log" >&2; exit 1; }
  done &
  pids+=($!)
done
wait "${pids[@]}"
hwm_kib=$(awk '/^VmHWM/ { print $2 }' "/proc/$server_pid/status")
gs_kib=$(sort -n "$work/gs-peaks.txt" | tail -n 1)
gs_runs=$(wc -l <"$work/gs-peaks.txt")
qapp_stop

# col DOC ROAD COLUMN: one column of a document's road, round by round.
col() { awk -v d="$1" -v road="$2" -v c="$3" '$1 == d && $2 == road { print $c }' "$out/app-rounds.txt"; }
# med DOC ROAD COLUMN: its median; range: its lowest and highest.
med() { col "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
range() { col "$@" | sort -n | awk '{ v[NR] = $1 } END { printf "%s-%s", v[1], v[NR] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v <= t ? "met" : "not met") }'; }
hwm_mib=$(mib "$hwm_kib")

{
  echo "# Application benchmark"
  echo
  echo "Documents from pages 1-10 of \`$(basename "$pdf")\` and \`$(basename "$photo")\`, 600 dpi; $rounds interleaved rounds, medians (range)."
  echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -m); build $(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")."
  echo
  echo "| document | app wall s | CUPS wall s | gs alone s | app / CUPS | app / gs | app first byte s | CUPS first byte s | app CPU s | CUPS CPU s |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for d in $docs; do
    a=$(med "$d" app 3) c=$(med "$d" cups 3) g=$(med "$d" gs 3)
    echo "| $d | $a ($(range "$d" app 3)) | $c ($(range "$d" cups 3)) | $g ($(range "$d" gs 3)) | $(ratio "$a" "$c") | $(ratio "$a" "$g") |" \
      "$(med "$d" app 4) | $(med "$d" cups 4) | $(med "$d" app 5) | $(med "$d" cups 5) |"
  done
  echo
  echo "| measure | worst document | value | target | |"
  echo "|---|---|---:|---:|---|"
  worst() { for d in $docs; do echo "$d $(ratio "$(med "$d" app 3)" "$(med "$d" "$1" 3)")"; done | sort -k2 -n | tail -n 1; }
  read -r wd wv <<<"$(worst cups)"
  echo "| application / CUPS, wall time | $wd | $wv | 0.6 | $(verdict "$wv" 0.6) |"
  read -r wd wv <<<"$(worst gs)"
  echo "| application / Ghostscript alone, wall time | $wd | $wv | 1.2 | $(verdict "$wv" 1.2) |"
  read -r wd wv <<<"$(for d in $docs; do echo "$d $(awk -v a="$(med "$d" app 4)" -v b="$(med "$d" cups 4)" 'BEGIN { printf "%.3f", a - b }')"; done | sort -k2 -n | tail -n 1)"
  echo "| first byte, application - CUPS, s | $wd | $wv | 0 | $(verdict "$wv" 0) |"
  echo "| application's peak RSS over 20 jobs, MiB | | $hwm_mib | 64 | $(verdict "$hwm_mib" 64) |"
  echo "| largest Ghostscript peak RSS ($gs_runs runs), MiB | | $(mib "$gs_kib") | | |"
} | tee "$out/app-results.md"
