#!/usr/bin/env bash
# Job benchmark: pages 1 to 10 of a real PDF, rendered at A4 and 600 dpi by
# cupsfilter, through our filter and through CUPS's own raster filters, side
# by side in one run.
#
#   bash bench/job_bench.sh            # figures into out/bench/results.md
#
# Environment:
#   BENCH_PDF      the document (default: the libtasn1 manual, 36 pages,
#                  from Debian's libtasn1-doc, installed when missing)
#   BENCH_ROUNDS   rounds of the CPU-time measurement (default 11)
#   BENCH_OUT      where inputs and results go (default out/bench)
#
# What is measured, for the floor (a program that only reads every row with
# libcups), our filter, rastertohp (LaserJet PPD) and rastertolabel (Zebra
# ZPL PPD), all from CUPS's sample drivers compiled with ppdc:
#   - user-space instructions under callgrind, which do not depend on how
#     busy the machine is;
#   - CPU seconds (user + system), the median of interleaved rounds;
#   - our peak resident set on 20 pages, and our instructions for the same
#     ten pages twice against once.
# Our filter gets the white-is-set raster its PPD asks for; the peers get the
# black-is-set raster of the same pages that their PPDs ask for.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${BENCH_OUT:-$root/out/bench}
rounds=${BENCH_ROUNDS:-11}
pdf=${BENCH_PDF:-/usr/share/doc/libtasn1-doc/libtasn1.pdf}

# The set-up installs the default document too (libtasn1-doc).
bash "$root/scripts/setup.sh"
[ -f "$pdf" ] || { echo "job_bench: no document at $pdf" >&2; exit 1; }

build="$root/build-bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQUORVEL_BENCH=ON -DQUORVEL_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null

mkdir -p "$out"
ours="$build/filter/rastertoquorvel"
floor="$build/bench/raster_floor"
cupsfilters=$(cups-config --serverbin)/filter
ppds="$out/ppd"
ppdc -d "$ppds" "$(cups-config --datadir)/drv/sample.drv"
hp_ppd="$ppds/laserjet.ppd"
label_ppd="$ppds/zebra.ppd"

echo "job_bench: rendering pages 1-10 of $pdf" >&2
cupsfilter -p "$root/ppd/quorvel.ppd" -m application/vnd.cups-raster \
  -o PageSize=A4 -o page-ranges=1-10 "$pdf" >"$out/ten-w.ras" 2>"$out/render-w.log"
cupsfilter -p "$hp_ppd" -m application/vnd.cups-raster \
  -o PageSize=A4 -o Resolution=600dpi -o page-ranges=1-10 "$pdf" >"$out/ten-k.ras" 2>"$out/render-k.log"
"$build/bench/raster_repeat" 2 "$out/ten-w.ras" "$out/twenty-w.ras"

# run NAME INPUT: one job as the scheduler runs it, output discarded.
run() {
  case "$1" in
    floor) "$floor" "$2" ;;
    ours) PPD="$root/ppd/quorvel.ppd" "$ours" 1 bench bench 1 "" "$2" ;;
    rastertohp) PPD="$hp_ppd" "$cupsfilters/rastertohp" 1 bench bench 1 "" "$2" ;;
    rastertolabel) PPD="$label_ppd" "$cupsfilters/rastertolabel" 1 bench bench 1 "" "$2" ;;
  esac
}

# instructions NAME INPUT: user-space instructions of one run under callgrind.
instructions() {
  local log="$out/callgrind-$1.log"
  case "$1" in
    floor) valgrind --tool=callgrind --callgrind-out-file=/dev/null "$floor" "$2" >/dev/null 2>"$log" ;;
    ours) PPD="$root/ppd/quorvel.ppd" valgrind --tool=callgrind --callgrind-out-file=/dev/null \
            "$ours" 1 bench bench 1 "" "$2" >/dev/null 2>"$log" ;;
    rastertohp) PPD="$hp_ppd" valgrind --tool=callgrind --callgrind-out-file=/dev/null \
            "$cupsfilters/rastertohp" 1 bench bench 1 "" "$2" >/dev/null 2>"$log" ;;
    rastertolabel) PPD="$label_ppd" valgrind --tool=callgrind --callgrind-out-file=/dev/null \
            "$cupsfilters/rastertolabel" 1 bench bench 1 "" "$2" >/dev/null 2>"$log" ;;
  esac
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$log"
}

echo "job_bench: instructions under callgrind" >&2
i_floor_w=$(instructions floor "$out/ten-w.ras")
i_floor_k=$(instructions floor "$out/ten-k.ras")
i_ours=$(instructions ours "$out/ten-w.ras")
i_ours_twice=$(instructions ours "$out/twenty-w.ras")
i_hp=$(instructions rastertohp "$out/ten-k.ras")
i_label=$(instructions rastertolabel "$out/ten-k.ras")

echo "job_bench: CPU seconds, $rounds interleaved rounds" >&2
TIMEFORMAT='%3U %3S'
for name in floor ours rastertohp rastertolabel; do : >"$out/cpu-$name.txt"; done
for ((r = 0; r < rounds; r++)); do
  for name in floor ours rastertohp rastertolabel; do
    case "$name" in
      floor | ours) input="$out/ten-w.ras" ;;
      *) input="$out/ten-k.ras" ;;
    esac
    { time run "$name" "$input" >/dev/null 2>/dev/null; } 2>>"$out/cpu-$name.txt"
  done
done
median() { awk '{ print $1 + $2 }' "$1" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
c_floor=$(median "$out/cpu-floor.txt")
c_ours=$(median "$out/cpu-ours.txt")
c_hp=$(median "$out/cpu-rastertohp.txt")
c_label=$(median "$out/cpu-rastertolabel.txt")

echo "job_bench: peak resident set on 20 pages" >&2
rss_kib=$(PPD="$root/ppd/quorvel.ppd" /usr/bin/time -f %M "$ours" 1 bench bench 1 "" \
  "$out/twenty-w.ras" 2>&1 >/dev/null | tail -n 1)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v <= t ? "met" : "not met") }'; }

r_floor=$(ratio "$i_ours" "$i_floor_w")
r_hp=$(ratio "$i_ours" "$i_hp")
r_label=$(ratio "$i_ours" "$i_label")
r_twice=$(ratio "$i_ours_twice" "$i_ours")
rss_mib=$(mib "$rss_kib")

{
  echo "# Job benchmark"
  echo
  echo "Pages 1-10 of \`$(basename "$pdf")\`, A4, 600 dpi, rendered by cupsfilter."
  echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -m); CPU seconds are the median of $rounds interleaved rounds."
  echo
  echo "| program | input | instructions | CPU s |"
  echo "|---|---|---:|---:|"
  echo "| floor (libcups reads every row) | white-is-set | $i_floor_w | $c_floor |"
  echo "| floor (libcups reads every row) | black-is-set | $i_floor_k | |"
  echo "| rastertoquorvel | white-is-set | $i_ours | $c_ours |"
  echo "| rastertohp (LaserJet) | black-is-set | $i_hp | $c_hp |"
  echo "| rastertolabel (Zebra ZPL) | black-is-set | $i_label | $c_label |"
  echo
  echo "| measure | value | target | |"
  echo "|---|---:|---:|---|"
  echo "| ours / floor, instructions | $r_floor | 2.0 | $(verdict "$r_floor" 2.0) |"
  echo "| ours / rastertohp, instructions | $r_hp | 0.5 | $(verdict "$r_hp" 0.5) |"
  echo "| ours / rastertolabel, instructions | $r_label | 0.1 | $(verdict "$r_label" 0.1) |"
  echo "| same ten pages twice / once, instructions | $r_twice | 2.05 | $(verdict "$r_twice" 2.05) |"
  echo "| our peak RSS on 20 pages, MiB | $rss_mib | 12 | $(verdict "$rss_mib" 12) |"
} | tee "$out/results.md"
