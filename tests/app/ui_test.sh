#!/usr/bin/env bash
# The application as a person meets it, on a private server:
# ui_test.sh CASE BUILD-DIR SOURCE-DIR
#
#   pages     the words, values and pictures on the pages PAPPL serves
#   web       the Printing Defaults form: bad values refused on the page,
#             what it shows is what jobs print with
#   refuse    sub-commands refuse what the printer does not have, with a
#             message and exit status 1; `options` lists what `modify` takes
#   clamp     a job's print-darkness beyond -100..100 prints at the nearest end
#   noserver  sub-commands with no server: a message, status 1, no server started
#   devices   without avahi-daemon: one line saying so, exit 0
#   readme    the README's "Using it" commands, exactly as written
set -euo pipefail
case_name=$1 build=$(cd "$2" && pwd) src=$(cd "$3" && pwd)
bin=$build/app/quorvel-printer-app
preview=$build/tools/quorvel-preview/quorvel-preview
source "$src/tests/support/servers.sh"

fail() {
  echo "FAIL: $*" >&2
  [ -z "${QAPP_DIR:-}" ] || tail -n 20 "$QAPP_DIR/server.log" >&2 2>/dev/null || true
  exit 1
}

# page PATH: the HTML the server serves at PATH.
page() {
  timeout 60 curl -fsS -c "$QAPP_DIR/cookies" -b "$QAPP_DIR/cookies" "http://localhost:$QAPP_PORT$1"
}

# attrs: the attributes of q1 a client asks for to show the printer.
attrs() {
  printf '%s\n' '{' 'OPERATION Get-Printer-Attributes' 'GROUP operation-attributes-tag' \
    'ATTR charset attributes-charset utf-8' 'ATTR naturalLanguage attributes-natural-language en' 'ATTR uri printer-uri $uri' \
    'ATTR keyword requested-attributes printer-icons,printer-strings-uri,printer-strings-languages-supported,paper-weight-default,printer-darkness-configured' \
    'STATUS successful-ok' '}' >"$QAPP_DIR/get.test"
  timeout 60 ipptool -tv "ipp://localhost:$QAPP_PORT/ipp/print/q1" "$QAPP_DIR/get.test"
}

# expect_run STATUS PATTERN COMMAND...: COMMAND exits STATUS and its output
# (both streams) matches *PATTERN*.
expect_run() {
  local want=$1 pattern=$2 got=0 text
  shift 2
  text=$("$@" 2>&1) || got=$?
  [ "$got" = "$want" ] || fail "$*: exit $got, expected $want: $text"
  [[ $text == *$pattern* ]] || fail "$*: no '$pattern' in: $text"
}

# printed NAME FILE [OPTIONS...]: submit FILE as job NAME on q1, wait for its
# stream and print its summary.
printed() {
  local name=$1 file=$2 o opts=()
  shift 2
  for o in "$@"; do opts+=(-o "$o"); done
  qapp_cmd submit -d q1 -t "$name" ${opts[@]+"${opts[@]}"} "$file" >/dev/null || fail "submit $name"
  for _ in $(seq 1 300); do
    [ -s "$QAPP_DIR/out/$name.prn" ] && "$preview" "$QAPP_DIR/out/$name.prn" 2>/dev/null | grep -q '^page 1:' && break
    sleep 0.1
  done
  "$preview" "$QAPP_DIR/out/$name.prn" || fail "$name: no whole stream"
}

start() {
  trap qapp_stop EXIT
  qapp_start "$bin"
  qapp_cmd add -d q1 -v "file://$QAPP_DIR/out" -m quorvel >/dev/null
  mkdir -p "$QAPP_DIR/work"
  qdoc "$QAPP_DIR/work/one.pwg" 1
}

case $case_name in
pages)
  start
  qapp_cmd modify -d q1 -o paper-weight-default=heavy >/dev/null
  defaults=$(page /q1/printing)
  for want in '<th>Paper Weight:</th>' '<th>Manual 2-Sided Printing:</th>' '<th>Print Darkness:</th>' \
    '<option value="very-heavy">Very Heavy</option>' '<option value="heavy" selected>Heavy</option>' \
    '<option value="medium-heavy">Medium Heavy</option>' '<option value="light">Light</option>' \
    '<option value="off" selected>Off</option>' '<option value="on">On (turn the sheets by hand)</option>' \
    '<option value="50" selected>50%</option>'; do
    [[ $defaults == *"$want"* ]] || fail "Printing Defaults page: no '$want'"
  done
  [[ $defaults != *'paper-weight:'* && $defaults != *'manual-duplex:'* ]] || fail "an option labelled by its attribute name"
  # The printer's own picture: on its page, and the one clients are given.
  [[ $(page /q1/) == *'src="/q1/icon-md.png"'* ]] || fail "the printer page shows no printer icon"
  page /navicon.png | cmp -s - "$src/app/icons/icon-sm.png" || fail "the page header shows PAPPL's picture"
  for size in sm md lg; do
    page "/q1/icon-$size.png" | cmp -s - "$src/app/icons/icon-$size.png" || fail "icon-$size.png is not ours"
  done
  attrs=$(attrs) || fail "Get-Printer-Attributes: $attrs"
  [[ $attrs == *"printer-icons (1setOf uri) = http://localhost:$QAPP_PORT/q1/icon-sm.png,"* ]] || fail "printer-icons"
  # Clients find the words through printer-strings-uri.
  n=$(attrs | grep -c "printer-strings-languages-supported (") && [ "$n" = 1 ] || fail "printer-strings-languages-supported $n times"
  uri=$(sed -n 's/.*printer-strings-uri (uri) = //p' <<<"$attrs")
  [ "$uri" = "http://localhost:$QAPP_PORT/en.strings" ] || fail "printer-strings-uri is '$uri'"
  timeout 60 curl -fsS "$uri" | grep -qx '"paper-weight.medium-heavy" = "Medium Heavy";' || fail "no words at $uri"
  ;;

web)
  start
  # post FIELD=VALUE...: the Printing Defaults form as the page sends it,
  # with everything else as the page shows it; prints the page answered.
  post() {
    local form token args=()
    form=$(page /q1/printing)
    token=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' <<<"$form" | head -n 1)
    args=(--data-urlencode "session=$token" --data-urlencode print-darkness=50 --data-urlencode paper-weight=medium
      --data-urlencode manual-duplex=off)
    for f in "$@"; do args+=(--data-urlencode "$f"); done
    timeout 60 curl -fsS -c "$QAPP_DIR/cookies" -b "$QAPP_DIR/cookies" "${args[@]}" "http://localhost:$QAPP_PORT/q1/printing"
  }
  # Values the printer does not have: refused on the page, nothing changes.
  for bad in paper-weight=bogus manual-duplex=maybe print-darkness=70; do
    answer=$(post "$bad")
    [[ $answer == *'<div class="banner">Bad printer defaults.</div>'* ]] || fail "web $bad: not refused"
    [[ $answer == *'<option value="medium" selected>Medium</option>'* ]] || fail "web $bad: weight changed"
    [[ $answer == *'<option value="50" selected>50%</option>'* ]] || fail "web $bad: darkness changed"
  done
  # Values it has: the page shows them and jobs print with them.
  answer=$(post paper-weight=light manual-duplex=on print-darkness=100)
  [[ $answer == *'<div class="banner">Changes saved.</div>'* ]] || fail "web: good values not saved"
  [[ $answer == *'<option value="light" selected>Light</option>'* ]] || fail "web: weight not shown"
  [[ $answer == *'<option value="100" selected>100%</option>'* ]] || fail "web: darkness not shown"
  summary=$(printed web "$QAPP_DIR/work/one.pwg" sides=two-sided-long-edge)
  [[ $summary == *"density 0, weight 4"*"manual duplex on"* ]] || fail "web: the job does not print as shown: $summary"
  ;;

refuse)
  start
  cmd() { qapp_cmd "$@"; }
  expect_run 1 "paper-weight-default=bogus is not a value the printer has; it takes very-heavy, heavy, medium-heavy, medium, light." \
    cmd modify -d q1 -o paper-weight-default=bogus
  expect_run 1 "manual-duplex-default=bogus is not a value the printer has; it takes off, on." \
    cmd modify -d q1 -o manual-duplex-default=bogus
  expect_run 1 "printer-darkness-configured=250 is not a darkness the printer has; it takes 0, 25, 50, 75, 100." \
    cmd modify -d q1 -o printer-darkness-configured=250
  expect_run 1 "printer-darkness-configured=-1 is not a darkness" cmd modify -d q1 -o printer-darkness-configured=-1
  expect_run 1 "printer-darkness-configured=70 is not a darkness" cmd modify -d q1 -o printer-darkness-configured=70
  expect_run 1 "print-darkness-default=101 is not a number from -100 to 100" cmd modify -d q1 -o print-darkness-default=101
  expect_run 1 "modify does not change 'printer-darkness'" cmd modify -d q1 -o printer-darkness=70
  expect_run 1 "na_foolscap is not a size the printer has" cmd modify -d q1 -o media-ready=na_foolscap
  # Nothing of the above was stored.
  attrs=$(attrs) || fail "Get-Printer-Attributes: $attrs"
  [[ $attrs == *"paper-weight-default (keyword) = medium"* && $attrs == *"printer-darkness-configured (integer) = 50"* ]] ||
    fail "a refused value was stored"
  # Other IPP clients meet the same check.
  printf '%s\n' '{' 'OPERATION Set-Printer-Attributes' 'GROUP operation-attributes-tag' \
    'ATTR charset attributes-charset utf-8' 'ATTR naturalLanguage attributes-natural-language en' \
    'ATTR uri printer-uri $uri' 'GROUP printer-attributes-tag' 'ATTR keyword paper-weight-default bogus' \
    'STATUS client-error-attributes-or-values-not-supported' '}' >"$QAPP_DIR/work/set.test"
  timeout 60 ipptool -t "ipp://localhost:$QAPP_PORT/ipp/print/q1" "$QAPP_DIR/work/set.test" >/dev/null ||
    fail "Set-Printer-Attributes took paper-weight-default=bogus"
  # Devices that cannot exist.
  expect_run 1 "no USB printer 'usb://Quorvel/...' is connected" cmd add -d q2 -v 'usb://Quorvel/...' -m quorvel
  expect_run 1 "there is no folder '/nonexistent' to write into" cmd add -d q2 -v file:///nonexistent/x.prn -m quorvel
  expect_run 1 "has no 'ipp' devices" cmd add -d q2 -v ipp://localhost/ipp/print -m quorvel
  expect_run 1 "names no printer" cmd add -d q2 -v socket:// -m quorvel
  [[ $(qapp_cmd printers) == q1 ]] || fail "a refused printer was added"
  # Every printer default `options` lists, `modify` takes (its first value).
  listed=$(qapp_cmd options -d q1 | sed -n '/^Printer defaults/,$p' | sed -n 's/^  -o \([^=]*\)=\([^, ]*\).*/\1=\2/p')
  [ "$(wc -l <<<"$listed")" = 7 ] || fail "options lists: $listed"
  while read -r o; do
    [[ $o != *=SIZE* ]] || o=media-ready=iso_a4_210x297mm
    [[ $o != *=-100 ]] || o=print-darkness-default=-100
    qapp_cmd modify -d q1 -o "$o" || fail "modify does not take '$o', which options lists"
  done <<<"$listed"
  ;;

clamp)
  start
  # Darkness 50: 50 + 500 is past 100, dark; 50 - 500 is light. The filter
  # gives density 0 for Dark and 4 for Light.
  [[ $(printed dark "$QAPP_DIR/work/one.pwg" print-darkness=500) == *"density 0,"* ]] || fail "print-darkness=500 not dark"
  [[ $(printed light "$QAPP_DIR/work/one.pwg" print-darkness=-500) == *"density 4,"* ]] || fail "print-darkness=-500 not light"
  expect_run 1 "print-darkness=dark is not a number from -100 to 100." \
    qapp_cmd submit -d q1 -o print-darkness=dark "$QAPP_DIR/work/one.pwg"
  ;;

noserver)
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  export TMPDIR=$dir HOME=$dir SNAP_COMMON=$dir # root's server would be in SNAP_COMMON
  for sub in status jobs "modify -d q1 -o paper-weight-default=heavy" printers; do
    expect_run 1 "No server is running. Start the service with 'sudo systemctl start quorvel-printer-app'" \
      timeout 60 "$bin" $sub
  done
  # What PAPPL runs when it would start a server of its own.
  expect_run 1 "not starting a server for a sub-command" timeout 60 "$bin" server -o private-server=true
  ! compgen -G "$dir/*.sock" >/dev/null || fail "a server was started"
  ;;

devices)
  # In a network namespace of its own, so that the search reaches no network.
  timeout 10 unshare -n true 2>/dev/null || { echo "devices: needs unshare -n (root)"; exit 0; }
  AVAHI_SOCKET=/nonexistent/avahi expect_run 0 \
    "network printers are not listed: finding them needs avahi-daemon, which is not running." \
    timeout 120 unshare -n "$bin" devices
  text=$(AVAHI_SOCKET=/nonexistent/avahi timeout 120 unshare -n "$bin" devices 2>&1)
  ! grep -i 'dns-sd\|avahi' <<<"$text" | grep -v 'needs avahi-daemon' || fail "devices: DNS-SD errors: $text"
  ;;

readme)
  # The README's walk-through, line by line as written, against a private
  # server: sudo adds nothing for root, and a file device stands in for the
  # USB printer that devices lists.
  start
  cd "$QAPP_DIR/work"
  qdoc document.pdf 1
  stand_in='usb://Quorvel/QV-100?serial=UI-TEST'
  sudo() { "$@"; }
  quorvel-printer-app() {
    local a args=()
    for a in "$@"; do args+=("${a/"$stand_in"/file://$QAPP_DIR/out}"); done
    if [ "$1" = devices ]; then
      echo "$stand_in"
      timeout 10 unshare -n true 2>/dev/null || return 0 # the real search stays off the network
      timeout 120 unshare -n "$bin" devices 2>/dev/null
      return
    fi
    qapp_cmd "${args[@]}"
  }
  walk=$(sed -n '/^### Using it/,/^```$/p' "$src/README.md" | sed -n '/^```sh$/,/^```$/p' | sed '1d;$d')
  [ "$(wc -l <<<"$walk")" -ge 8 ] || fail "no walk-through in the README"
  while IFS= read -r line; do
    echo "\$ $line"
    eval "$line" || fail "README: '$line' failed"
  done <<<"$walk"
  summary=$(for _ in $(seq 1 300); do
    "$preview" "$QAPP_DIR/out/document.pdf.prn" 2>/dev/null && break
    sleep 0.1
  done)
  [[ $summary == *"copies 2, density 1, weight 1"* ]] || fail "the walk-through's job: $summary"
  ;;

*)
  echo "unknown case $case_name" >&2
  exit 2
  ;;
esac
[ -z "${QAPP_PID:-}" ] || qapp_stop || fail "the server's sanitizer report"
echo "PASS: $case_name"
