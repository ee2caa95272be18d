#!/usr/bin/env bash
# The driver with the real CUPS: installed as a packager installs it, run by
# cupsfilter with our PPD on real documents, and by a private cupsd with
# queues on file devices, as users print.
#
#   cups_test.sh BUILD SOURCE install|cupsfilter|cupsd
#
# Whether our filter turns the raster CUPS renders into the right bytes is
# the filter's own tests' business; here the stream a CUPS chain produces
# must be exactly what our filter makes of the raster that chain rendered.
set -euo pipefail
build=$1 src=$2 what=$3
. "$src/tests/support/cups.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/qcups.XXXXXX")
chmod 0755 "$work" # the scheduler's helpers run as lp
trap 'qcupsd_stop; [ -n "${QCUPS_KEEP:-}" ] || rm -rf "$work"' EXIT
qcups_tree "$build" "$work/root"
filter=$QCUPS_SERVERBIN/filter/rastertoquorvel
ppd=$QCUPS_DATADIR/model/quorvel/quorvel.ppd
preview=$build/tools/quorvel-preview/quorvel-preview
testpage=$(cups-config --datadir)/data/default-testpage.pdf
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect FILE TEXT...: quorvel-preview's summary of the stream FILE holds
# every TEXT.
expect() {
  local file=$1 summary t
  shift
  summary=$("$preview" "$file" 2>&1) || { fail "$file does not decode: $summary"; return; }
  for t in "$@"; do
    grep -qF -- "$t" <<<"$summary" || fail "$file: no '$t' in: $summary"
  done
}

# chain NAME DOC OPTION...: DOC through cupsfilter with our PPD, once to the
# raster and once through our filter; the stream must be what our filter
# makes of that raster.
chain() {
  local name=$1 doc=$2 o args=()
  shift 2
  for o in "$@"; do args+=(-o "$o"); done
  timeout 300 cupsfilter -c "$QCUPS_FILES" -p "$ppd" -e -m application/vnd.cups-raster \
    ${args[@]+"${args[@]}"} "$doc" >"$work/$name.ras" 2>/dev/null
  timeout 300 cupsfilter -c "$QCUPS_FILES" -p "$ppd" -e -m printer/quorvel \
    ${args[@]+"${args[@]}"} "$doc" >"$work/$name.prn" 2>"$work/$name.log" || fail "cupsfilter $name"
  PPD=$ppd "$filter" 1 user "$name" 1 "$*" "$work/$name.ras" >"$work/$name.direct" 2>/dev/null || true
  grep -q -- "-------main---------JobFinish end" "$work/$name.log" || fail "$name: our filter did not end the chain"
  cmp -s "$work/$name.prn" "$work/$name.direct" || fail "$name: the chain's stream is not our filter's on its raster"
}

case $what in
install)
  # Where CUPS looks, under DESTDIR only, with the modes the scheduler wants.
  [ "$(stat -c %a "$filter")" = 755 ] || fail "filter mode $(stat -c %a "$filter")"
  [ "$(stat -c %a "$ppd")" = 644 ] || fail "PPD mode $(stat -c %a "$ppd")"
  [ -x "$work/root/usr/local/bin/quorvel-preview" ] || [ -x "$work/root/usr/bin/quorvel-preview" ] ||
    fail "quorvel-preview not installed"
  cupstestppd -q -R "$work/root" "$ppd" || fail "cupstestppd refuses the installed PPD with the installed filter"
  # Every density and weight choice of the PPD is the level the printer gets.
  chain testpage "$testpage"
  for opt in PrintDensity PaperWeight; do
    for choice in $(sed -n "s/^\*$opt \([0-9][A-Za-z]*\)\/.*/\1/p" "$ppd"); do
      PPD=$ppd "$filter" 1 u t 1 "$opt=$choice" "$work/testpage.ras" >"$work/level.prn" 2>/dev/null
      level=${choice:0:1}
      [ $opt = PrintDensity ] && expect "$work/level.prn" "density $level," || expect "$work/level.prn" "weight $level"
    done
  done
  ;;
cupsfilter)
  chain dark "$testpage" PrintDensity=0Dark PaperWeight=1Heavy
  expect "$work/dark.prn" "paper 4958 x 7016 dots, copies 1, density 0, weight 1" "pages: 1" "end of job: yes"
  chain plain "$testpage"
  expect "$work/plain.prn" "density 2, weight 3" "duplex: one-sided, manual duplex off"
  chain text /etc/services PageSize=Letter
  expect "$work/text.prn" "paper 5100 x 6600 dots"
  chain cancel "$testpage" CmdCancel=CancelAttr
  expect "$work/cancel.prn" "settings block: suppressed" "end of job: yes"
  chain cancelend "$testpage" CmdCancel=CancelJobFinish
  expect "$work/cancelend.prn" "density 2" "end of job: no"
  chain long "$testpage" sides=two-sided-long-edge
  expect "$work/long.prn" "duplex: long edge, manual duplex off"
  chain short "$testpage" sides=two-sided-short-edge ManualDuplex=True
  expect "$work/short.prn" "duplex: short edge, manual duplex on"
  # Copies are the printer's: one page sent, its count in the settings.
  timeout 300 cupsfilter -c "$QCUPS_FILES" -p "$ppd" -e -m printer/quorvel -n 3 "$testpage" \
    >"$work/copies.prn" 2>/dev/null
  expect "$work/copies.prn" "copies 3" "pages: 1"
  for size in A4:4958x7016 Letter:5100x6600 Legal:5100x8400 A5:3500x4958 B5:4300x6075 \
              Executive:4350x6300 Custom.765x1200:6375x10000; do
    timeout 300 cupsfilter -c "$QCUPS_FILES" -p "$ppd" -e -m printer/quorvel -o "PageSize=${size%%:*}" \
      "$testpage" >"$work/size.prn" 2>/dev/null
    dots=${size#*:}
    expect "$work/size.prn" "paper ${dots%x*} x ${dots#*x} dots" "pages: 1"
  done
  ;;
cupsd)
  qcupsd_start "$work/cupsd"
  out=$work/cupsd/out
  timeout 60 lpinfo -m | grep -qxF "quorvel/quorvel.ppd Quorvel Monochrome Printer, rastertoquorvel 1.0" ||
    fail "lpinfo -m does not list our model"
  timeout 60 lpadmin -p Model -E -v "file://$out/model.prn" -m quorvel/quorvel.ppd
  timeout 60 lpadmin -p Defaults -E -v "file://$out/defaults.prn" -P "$src/ppd/quorvel.ppd" \
    -o PrintDensity=0Dark -o PaperWeight=1Heavy -o Duplex=DuplexNoTumble
  # What the scheduler prints is what cupsfilter's chain prints.
  qcupsd_job Model -o PrintDensity=4Light "$testpage" || fail "job on Model"
  chain light "$testpage" PrintDensity=4Light
  cmp -s "$out/model.prn" "$work/light.prn" || fail "the scheduler's stream differs from cupsfilter's"
  qcupsd_job Model -n 2 -o CmdCancel=CancelJobFinish /etc/services || fail "text job on Model"
  expect "$out/model.prn" "copies 2" "end of job: no"
  # Queue defaults set with lpadmin reach the printer; a job's own option wins.
  qcupsd_job Defaults "$testpage" || fail "job on Defaults"
  expect "$out/defaults.prn" "density 0, weight 1" "duplex: long edge"
  qcupsd_job Defaults -o PrintDensity=3MediumLight -o sides=one-sided "$testpage" || fail "second job on Defaults"
  expect "$out/defaults.prn" "density 3, weight 1" "duplex: one-sided"
  ;;
esac

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "cups $what: all checks passed"
