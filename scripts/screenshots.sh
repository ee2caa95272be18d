#!/usr/bin/env bash
# Screenshots of every web page of the printer application, as a browser
# shows them: a private server on a free localhost port with one printer on
# a file device and one printed job, and Debian's chromium, headless, with
# an empty profile that talks to nothing but that server (no other name
# resolves: the map on the settings page stays empty).
#
#   scripts/screenshots.sh [BUILD-DIR] [OUT-DIR]     (default: build, out/screenshots)
#
# Writes OUT-DIR/NAME.png for each page (home, add-printer, ... printer-jobs).
# Needs chromium (apt-get install chromium); run it as root or as the user
# who built the tree.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
out=${2:-$top/out/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)
command -v chromium >/dev/null || { echo "screenshots.sh: needs chromium (apt-get install chromium)" >&2; exit 1; }
source "$top/tests/support/servers.sh"

profile=$(mktemp -d)
trap 'qapp_stop; rm -rf "$profile"' EXIT
qapp_start "$build/app/quorvel-printer-app"
qapp_cmd add -d Office -v "file://$QAPP_DIR/out" -m quorvel >/dev/null
qapp_cmd modify -d Office -o paper-weight-default=heavy >/dev/null
qdoc "$QAPP_DIR/letter.pdf" 2
qapp_cmd submit -d Office -t "Letter to the bank" "$QAPP_DIR/letter.pdf" >/dev/null
for _ in $(seq 1 300); do
  [ -s "$QAPP_DIR/out/Letter_to_the_bank.prn" ] || [ -n "$(ls "$QAPP_DIR/out")" ] && break
  sleep 0.1
done

pages=(
  home:/ add-printer:/addprinter network:/config logs:/logs
  printer:/Office/ printer-settings:/Office/config printer-media:/Office/media
  printer-defaults:/Office/printing printer-jobs:/Office/jobs printer-delete:/Office/delete
)
for p in "${pages[@]}"; do
  name=${p%%:*} path=${p#*:}
  timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --no-default-browser-check \
    --host-resolver-rules="MAP * ~NOTFOUND, EXCLUDE localhost" \
    --user-data-dir="$profile" --hide-scrollbars --window-size=1100,800 \
    --screenshot="$out/$name.png" "http://localhost:$QAPP_PORT$path" >/dev/null 2>&1 ||
    { echo "screenshots.sh: chromium failed on $path" >&2; exit 1; }
  echo "$out/$name.png"
done
