#!/usr/bin/env bash
# The main job: set up, build, then print CUPS's own test page through the
# real CUPS filter chain with our PPD and filter into a printer stream,
# summarise the stream and draw its pages as PNG files.
#
#   scripts/demo.sh [NAME=VALUE ...]   e.g. PrintDensity=0Dark PageSize=Letter
#
# Nothing is installed into the system's CUPS: the build is installed into
# out/cups-root (as a packager would, with DESTDIR), and cupsfilter runs
# from there with the system's other CUPS filters beside ours.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake -S . -B build -G Ninja
ninja -C build -j2

out=out
root=$out/cups-root
mkdir -p "$out"
rm -rf "$root"
# The build installed as a packager installs it, completed with this
# machine's CUPS (its filters beside ours, its MIME rules and data).
. tests/support/servers.sh
qcups_tree build "$PWD/$root"

testpage=$(cups-config --datadir)/data/default-testpage.pdf
ppd=$QCUPS_DATADIR/model/quorvel/quorvel.ppd
options=()
for o in "$@"; do options+=(-o "$o"); done

echo
echo "== CUPS's test page through cupsfilter with $ppd ${*:-(default options)}"
# -e: every filter the PPD names, as a queue would run them; printer/quorvel
# is the format our filter ends the chain with.
if ! cupsfilter -c "$QCUPS_FILES" -p "$ppd" -e -m printer/quorvel \
    ${options[@]+"${options[@]}"} "$testpage" >"$out/testpage.prn" 2>"$out/testpage.log"; then
  tail -n 40 "$out/testpage.log"
  echo "cupsfilter failed; its log is $out/testpage.log"
  exit 1
fi
grep -E '^(INFO|ERROR): ' "$out/testpage.log" | grep -v 'Color Manager' || true
echo "printer stream: $out/testpage.prn ($(stat -c %s "$out/testpage.prn") bytes), filter log: $out/testpage.log"

echo
echo "== the stream read back by quorvel-preview"
rm -f "$out"/testpage-*.png
build/tools/quorvel-preview/quorvel-preview --output "$out/testpage" "$out/testpage.prn"

echo
echo "Done: the printer stream is $out/testpage.prn; its pages as the printer will print them are:"
ls -1 "$out"/testpage-*.png

echo
echo "== the same page through quorvel-printer-app, the driverless road, to a virtual printer"
# A private server on a free localhost port with its state in a temporary
# directory, the PDF printed as a phone would send it; its printer is
# socket://, the way office printers are reached on port 9100, and what
# answers there is quorvel-preview --listen, a virtual printer that checks
# the stream as it arrives and keeps each job as a folder. Nothing is
# announced on the network.
app_out=$PWD/$out/app
rm -rf "$app_out"
mkdir -p "$app_out"
(
  trap 'qapp_stop; qvp_stop' EXIT
  qvp_start "$PWD/build/tools/quorvel-preview/quorvel-preview"
  qapp_start "$PWD/build/app/quorvel-printer-app"
  echo "virtual printer on localhost port $QVP_PORT; printer added as socket://localhost:$QVP_PORT"
  qapp_cmd add -d quorvel -v "socket://localhost:$QVP_PORT" -m quorvel >/dev/null
  qapp_cmd submit -d quorvel -t testpage "$testpage" >/dev/null
  qvp_wait 1
  echo "the virtual printer says:"
  cat "$QVP_DIR/lines"
  cp -r "$QVP_DIR/jobs/job-1/." "$app_out/"
)
echo
echo "== what the virtual printer received, read back"
cat "$app_out/summary.txt"
echo
echo "Done: the stream the application sent over the network is $out/app/stream.prn; its pages are:"
ls -1 "$out"/app/page-*.png
