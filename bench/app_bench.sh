#!/usr/bin/env bash
# Application benchmark: the job benchmark's ten pages through the printer
# application to a file device, and through cupsfilter with our PPD to our
# filter, in interleaved rounds of one run; then the application's memory
# while twenty jobs run on four printers.
#
#   bash bench/app_bench.sh            # figures into out/bench/app-results.md
#
# Environment:
#   BENCH_PDF      the document (default: the libtasn1 manual, as job_bench.sh)
#   BENCH_ROUNDS   rounds, each one job per road (default 15)
#   BENCH_OUT      where inputs and results go (default out/bench)
#   BENCH_BUILD    the build to measure (default build-bench-app, Release)
#
# For each road and round: the wall time from the client's start until the
# job has ended, the time until the first byte of the printer stream reaches
# the device (the application's file, cupsfilter's output), and CPU seconds
# of every process of the road, renderers included (the server's own and
# its reaped children's, plus the submitting client; cupsfilter and all its
# filters). Memory: the server's peak resident set (VmHWM) after 20 jobs,
# 5 on each of 4 printers (two-page PWG rasters and two-page PDFs in turn),
# and the peak of the largest Ghostscript it ran.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${BENCH_OUT:-$root/out/bench}
rounds=${BENCH_ROUNDS:-15}
pdf=${BENCH_PDF:-/usr/share/doc/libtasn1-doc/libtasn1.pdf}
build=${BENCH_BUILD:-$root/build-bench-app}

# The set-up installs the default document too (libtasn1-doc).
bash "$root/scripts/setup.sh"
[ -f "$pdf" ] || { echo "app_bench: no document at $pdf" >&2; exit 1; }

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

# The ten pages as a document of their own, so both roads get the same file.
pdfseparate -f 1 -l 10 "$pdf" "$work/page-%d.pdf" 2>/dev/null
pdfunite $(for i in $(seq 1 10); do echo "$work/page-$i.pdf"; done) "$work/ten.pdf" 2>/dev/null
pdfunite "$work/page-1.pdf" "$work/page-2.pdf" "$work/two.pdf" 2>/dev/null
qdoc "$work/two.pwg" 2 # two A4 pages of 1-bit raster at 600 dpi

# measure ROAD NAME: one job; prints "ROAD WALL FIRST CPU" in seconds.
measure() {
  python3 - "$@" "$work" "$app" "$QCUPS_FILES" "$ppd" "${server_pid:-0}" "${QAPP_DIR:-}" <<'EOF'
import os, re, resource, subprocess, sys, time
road, name, work, app, files, ppd, spid, qdir = sys.argv[1:9]
tick = os.sysconf("SC_CLK_TCK")
def kids():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime
def server():
    f = open(f"/proc/{spid}/stat").read().rsplit(")", 1)[1].split()
    return sum(int(x) for x in f[11:15]) / tick  # utime stime cutime cstime
c0 = kids()
if road == "cups":
    t0 = time.monotonic()
    p = subprocess.Popen(["cupsfilter", "-c", files, "-p", ppd, "-e", "-m", "printer/quorvel",
                          f"{work}/ten.pdf"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    first = None
    with open(f"{work}/{name}.prn", "wb") as o:
        while chunk := p.stdout.read1(65536):
            first = first or time.monotonic()
            o.write(chunk)
    p.wait()
    end, cpu = time.monotonic(), kids() - c0
else:
    s0 = server()
    log = open(f"{qdir}/server.log")
    log.seek(0, 2)
    prn = f"{qdir}/out/{name}.prn"
    t0 = time.monotonic()
    sub = subprocess.run([app, "submit", "-d", "q1", "-t", name, f"{work}/ten.pdf"],
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
print(f"{road} {end - t0:.3f} {first - t0:.3f} {cpu:.2f}")
EOF
}

echo "app_bench: $rounds interleaved rounds, application and CUPS roads" >&2
qapp_start "$app" -o log-level=info
server_pid=$(pgrep -P "$QAPP_PID")
qapp_cmd add -d q1 -v "file://$QAPP_DIR/out" -m quorvel >/dev/null
: >"$out/app-rounds.txt"
for ((r = 1; r <= rounds; r++)); do
  measure app "app$r" >>"$out/app-rounds.txt"
  measure cups "cups$r" >>"$out/app-rounds.txt"
done
pages_app=$("$preview" "$QAPP_DIR/out/app$rounds.prn" | sed -n 's/^pages: //p')
pages_cups=$("$preview" "$work/cups$rounds.prn" | sed -n 's/^pages: //p')
[ "$pages_app" = 10 ] && [ "$pages_cups" = 10 ] ||
  { echo "app_bench: pages: application $pages_app, CUPS $pages_cups" >&2; exit 1; }
qapp_stop

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

# stats ROAD COLUMN: median, minimum, maximum and first round of a column.
stats() {
  awk -v road="$1" -v c="$2" '$1 == road { print $c }' "$out/app-rounds.txt" >"$work/col"
  local first
  first=$(head -n 1 "$work/col")
  sort -n "$work/col" | awk -v f="$first" '{ v[NR] = $1 } END { printf "%s | %s-%s | %s", v[int((NR + 1) / 2)], v[1], v[NR], f }'
}
med() { awk -v road="$1" -v c="$2" '$1 == road { print $c }' "$out/app-rounds.txt" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v <= t ? "met" : "not met") }'; }
r_wall=$(ratio "$(med app 2)" "$(med cups 2)")
first_app=$(med app 3) first_cups=$(med cups 3)
hwm_mib=$(mib "$hwm_kib")

{
  echo "# Application benchmark"
  echo
  echo "Pages 1-10 of \`$(basename "$pdf")\` as one PDF, A4, 600 dpi; $rounds interleaved rounds."
  echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -m); build $(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$build/CMakeCache.txt")."
  echo
  echo "| road | measure | median | range | first round |"
  echo "|---|---|---:|---:|---:|"
  for road in app cups; do
    echo "| $road | wall s | $(stats $road 2) |"
    echo "| $road | first byte s | $(stats $road 3) |"
    echo "| $road | CPU s | $(stats $road 4) |"
  done
  echo
  echo "| measure | value | target | |"
  echo "|---|---:|---:|---|"
  echo "| application / CUPS, wall time | $r_wall | 0.8 | $(verdict "$r_wall" 0.8) |"
  echo "| first byte, application - CUPS, s | $(awk -v a="$first_app" -v b="$first_cups" 'BEGIN { printf "%.3f", a - b }') | 0 | $(verdict "$first_app" "$first_cups") |"
  echo "| application's peak RSS over 20 jobs, MiB | $hwm_mib | 64 | $(verdict "$hwm_mib" 64) |"
  echo "| largest Ghostscript peak RSS ($gs_runs runs), MiB | $(mib "$gs_kib") | | |"
} | tee "$out/app-results.md"
