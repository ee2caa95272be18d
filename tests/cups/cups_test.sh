#!/usr/bin/env bash
# The driver with the real CUPS: installed as a packager installs it, run by
# cupsfilter with our PPD, and by a private cupsd with queues on file devices.
#
#   cups_test.sh BUILD SOURCE install|cupsfilter|cupsd
#
# Whether the bytes are right for a raster is the filter's own tests'
# business; here a CUPS chain's stream must be what our filter makes of the
# raster that chain rendered, and the PPD's choices must reach the printer.
set -euo pipefail
build=$1 src=$2 what=$3
. "$src/tests/support/servers.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/qcups.XXXXXX")
chmod 0755 "$work" # the scheduler's helpers run as lp
trap 'qcupsd_stop; rm -rf "$work"' EXIT
qcups_tree "$build" "$work/root"
filter=$QCUPS_SERVERBIN/filter/rastertoquorvel ppd=$QCUPS_DATADIR/model/quorvel/quorvel.ppd
testpage=$(cups-config --datadir)/data/default-testpage.pdf
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# expect FILE TEXT...: quorvel-preview's summary of the stream in FILE holds every TEXT.
expect() {
  local file=$1 summary t
  shift
  summary=$("$build/tools/quorvel-preview/quorvel-preview" "$file" 2>&1) || { fail "$file: $summary"; return; }
  for t in "$@"; do grep -qF -- "$t" <<<"$summary" || fail "$file: no '$t' in: $summary"; done
}

# chain NAME DOC OPTION...: DOC through cupsfilter with our PPD, to the
# raster and to the printer; the stream must be our filter's on that raster.
chain() {
  local name=$1 doc=$2 o to args=()
  shift 2
  for o in "$@"; do args+=(-o "$o"); done
  for to in vnd.cups-raster quorvel; do
    timeout 300 cupsfilter -c "$QCUPS_FILES" -p "$ppd" -e -m "$([ $to = quorvel ] && echo printer || echo application)/$to" \
      ${args[@]+"${args[@]}"} "$doc" >"$work/$name.$to" 2>/dev/null || fail "cupsfilter $name to $to"
  done
  PPD=$ppd "$filter" 1 user "$name" 1 "$*" "$work/$name.vnd.cups-raster" >"$work/$name.prn" 2>/dev/null || true
  cmp -s "$work/$name.quorvel" "$work/$name.prn" || fail "$name: the chain's stream is not our filter's on its raster"
}

case $what in
install) # where CUPS looks, under DESTDIR only, with the modes the scheduler wants
  [ "$(stat -c %a "$filter") $(stat -c %a "$ppd")" = "755 644" ] || fail "modes of the filter and the PPD"
  [ -x "$work/root/usr/local/bin/quorvel-preview" ] || [ -x "$work/root/usr/bin/quorvel-preview" ] ||
    fail "quorvel-preview not installed"
  cupstestppd -q -R "$work/root" "$ppd" || fail "cupstestppd refuses the installed PPD with the installed filter"
  # Every density and weight choice of the PPD is the level the printer gets.
  chain testpage "$testpage"
  for opt in PrintDensity:density PaperWeight:weight; do
    for choice in $(sed -n "s/^\*${opt%:*} \([0-9][A-Za-z]*\)\/.*/\1/p" "$ppd"); do
      PPD=$ppd "$filter" 1 u t 1 "${opt%:*}=$choice" "$work/testpage.vnd.cups-raster" >"$work/level.prn" 2>/dev/null
      expect "$work/level.prn" "${opt#*:} ${choice:0:1}"
    done
  done
  ;;
cupsfilter)
  chain dark "$testpage" PrintDensity=0Dark PaperWeight=1Heavy sides=two-sided-long-edge
  expect "$work/dark.quorvel" "paper 4958 x 7016 dots, copies 1, density 0, weight 1" "duplex: long edge," "pages: 1"
  chain text /etc/services PageSize=Letter CmdCancel=CancelJobFinish Duplex=DuplexTumble ManualDuplex=True
  expect "$work/text.quorvel" "paper 5100 x 6600 dots" "duplex: short edge, manual duplex on" "end of job: no"
  # Copies are the printer's: one page sent, its count in the settings.
  for size in A4:4958x7016:3 Letter:5100x6600:1 Legal:5100x8400:1 A5:3500x4958:1 B5:4300x6075:1 \
              Executive:4350x6300:1 Custom.765x1200:6375x10000:1; do
    IFS=: read -r name dots copies <<<"$size"
    timeout 300 cupsfilter -c "$QCUPS_FILES" -p "$ppd" -e -m printer/quorvel -o "PageSize=$name" -n "$copies" \
      "$testpage" >"$work/size.prn" 2>/dev/null
    expect "$work/size.prn" "paper ${dots%x*} x ${dots#*x} dots, copies $copies," "pages: 1"
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
  cmp -s "$out/model.prn" "$work/light.quorvel" || fail "the scheduler's stream differs from cupsfilter's"
  # Queue defaults set with lpadmin reach the printer; a job's own option wins.
  qcupsd_job Defaults "$testpage" || fail "job on Defaults"
  expect "$out/defaults.prn" "density 0, weight 1" "duplex: long edge"
  qcupsd_job Defaults -o PrintDensity=3MediumLight -o sides=one-sided "$testpage" || fail "second job on Defaults"
  expect "$out/defaults.prn" "density 3, weight 1" "duplex: one-sided"
  ;;
esac
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "cups $what: all checks passed"
