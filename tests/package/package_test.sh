#!/usr/bin/env bash
# The Debian packages as a user gets them: built with CPack from this build,
# checked with lintian, installed with dpkg (apt-get fetches what they
# depend on), used (a private cupsd lists the PPD; the installed printer
# application prints a PDF to a file device), then purged. It changes the
# system while it runs, so it runs only in CI as root, and puts everything
# back even when it fails.
#
#   package_test.sh BUILD-DIR CPACK-COMMAND
set -uo pipefail

if [ "${CI:-}" != true ] || [ "$(id -u)" -ne 0 ]; then
  echo "package test skipped: it installs packages into this system, so it runs only in CI (CI=true) as root"
  exit 77
fi

build=$1 cpack=$2
. "$(dirname "$0")/../support/servers.sh"
packages=(printer-driver-quorvel quorvel-printer-app)
work=$(mktemp -d)
chmod 755 "$work"

fail() {
  echo "FAIL: $*"
  exit 1
}

# purge: remove our packages and whatever apt-get brought in for them.
purge() {
  local p present=() status
  for p in "${packages[@]}"; do
    dpkg-query -W "$p" >/dev/null 2>&1 && present+=("$p")
  done
  [ "${#present[@]}" -eq 0 ] || dpkg --purge "${present[@]}" >"$work/purge.log" 2>&1
  status=$?
  if [ -f "$work/before.list" ]; then
    dpkg-query -W -f='${Package}\n' | sort | comm -13 "$work/before.list" - >"$work/added.list"
    [ ! -s "$work/added.list" ] || DEBIAN_FRONTEND=noninteractive apt-get purge -y -q $(cat "$work/added.list") >/dev/null 2>&1
  fi
  return $status
}

trap '[ -z "${service_pid:-}" ] || qstop "$service_pid"; qapp_stop; purge >/dev/null 2>&1; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

for p in "${packages[@]}"; do
  ! dpkg-query -W "$p" >/dev/null 2>&1 || fail "$p is already on this machine; the test would remove it"
done

echo "== build the packages"
timeout 600 "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
debs=("$work"/pkg/*.deb)
for deb in "${debs[@]}"; do
  echo "${deb##*/}:"
  dpkg-deb -f "$deb" Depends Recommends | sed 's/^/  /'
  timeout 600 lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1
  status=$?
  grep -v 'running with root privileges' "$work/lintian.log"
  [ "$status" -eq 0 ] || fail "lintian reports errors in ${deb##*/}"
done
dpkg-deb -c "$work"/pkg/printer-driver-quorvel_*.deb | grep 'quorvel-printer-app' >/dev/null &&
  fail "the driver package holds files of the application"

echo "== install"
dpkg-query -W -f='${Package}\n' | sort >"$work/before.list"
timeout 600 dpkg -i "${debs[@]}" >"$work/install.log" 2>&1 ||
  DEBIAN_FRONTEND=noninteractive timeout 900 apt-get -f install -y -q --no-install-recommends \
    >>"$work/install.log" 2>&1
for deb in "${debs[@]}"; do
  p=$(dpkg-deb -f "$deb" Package)
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || { cat "$work/install.log"; fail "$p did not install"; }
done
[ -x /usr/lib/cups/filter/rastertoquorvel ] || fail "no filter in /usr/lib/cups/filter"
quorvel-preview --help >/dev/null || fail "quorvel-preview does not run"
man -w rastertoquorvel quorvel-preview >/dev/null || fail "manual pages missing"

# The scheduler lists the PPDs under its model folder; the PPD's filter is found.
cupstestppd -q "$(cups-config --datadir)/model/quorvel/quorvel.ppd" || fail "cupstestppd on the installed PPD"

if ! ls "$work"/pkg/quorvel-printer-app_*.deb >/dev/null 2>&1; then
  echo "== application part skipped: the application was not built"
else
  echo "== the installed application, run as its service runs it, prints a PDF to a file device"
  getent passwd quorvel >/dev/null && id -Gn quorvel | grep -qw lp || fail "no user quorvel in group lp"
  timeout 60 systemd-analyze verify /usr/lib/systemd/system/quorvel-printer-app.service || fail "systemd-analyze verify"
  [ -L /etc/systemd/system/multi-user.target.wants/quorvel-printer-app.service ] || fail "the service is not enabled"
  QAPP_USER=quorvel:lp # the service's user, for the server and its sub-commands
  qapp_start /usr/bin/quorvel-printer-app || fail "the server did not start"
  qapp_cmd add -d Quorvel -v "file://$QAPP_DIR/out" -m quorvel || fail "add a printer"
  qapp_cmd submit -d Quorvel "$(cups-config --datadir)/data/default-testpage.pdf" || fail "submit a job"
  printed=
  for _ in $(seq 1 600); do
    for f in "$QAPP_DIR"/out/*; do
      [ -s "$f" ] && quorvel-preview "$f" >"$work/preview" 2>&1 && printed=$f && break 2
    done
    sleep 0.1
  done
  [ -n "$printed" ] || { cat "$QAPP_DIR/server.log"; fail "no whole printer stream in $QAPP_DIR/out"; }
  cat "$work/preview"
  grep -q '^pages: 1$' "$work/preview" || fail "the test page did not print as one page"
  # The state is saved once the printers have been quiet for two seconds.
  for _ in $(seq 1 100); do
    [ -s "$XDG_CONFIG_HOME/quorvel-printer-app.state" ] && break
    sleep 0.1
  done
  [ -s "$XDG_CONFIG_HOME/quorvel-printer-app.state" ] || fail "no state file in XDG_CONFIG_HOME"
  qapp_cmd shutdown >/dev/null 2>&1
  qapp_stop

  echo "== root's sub-commands against the service's own server, started as the unit starts it"
  # Root's own socket as it is now (a server of root's that ended may have
  # left one): the sub-commands below must not make a new one.
  root_socket() { stat -c %i:%Y /run/quorvel-printer-app.sock 2>/dev/null || echo none; }
  root_before=$(root_socket)
  unit=/lib/systemd/system/quorvel-printer-app.service
  key() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
  # What systemd does first: the runtime and state folders for the service's
  # user, a /tmp of its own (PrivateTmp), the unit's environment. The port
  # is a free one on localhost instead of 8000 on every address.
  svc=$work/service-tmp
  mkdir -p "$svc" "/run/$(key RuntimeDirectory)" "/var/lib/$(key StateDirectory)"
  chown "$(key User):$(key Group)" "$svc" "/run/$(key RuntimeDirectory)" "/var/lib/$(key StateDirectory)"
  chmod "$(key RuntimeDirectoryMode)" "/run/$(key RuntimeDirectory)"
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  read -r -a exec_start <<<"$(key ExecStart | sed "s/server-port=8000/server-port=$port -o listen-hostname=localhost -o file-devices=${work//\//\\/}\/printed/")"
  env -i PATH=/usr/bin:/bin TMPDIR="$svc" $(key Environment) "${QWATCH[@]}" 600 \
    setpriv --reuid="$(key User)" --regid="$(key Group)" --init-groups "${exec_start[@]}" \
    </dev/null >"$work/service.log" 2>&1 &
  service_pid=$!
  for _ in $(seq 1 100); do
    quorvel-printer-app status >/dev/null 2>&1 && qwatch_armed "$service_pid" && break
    sleep 0.1
  done
  mkdir -p "$work/printed" && chown "$(key User)" "$work/printed"
  # The README's commands, as root runs them (sudo adds nothing here).
  quorvel-printer-app status || { cat "$work/service.log"; fail "root's status does not reach the service"; }
  quorvel-printer-app add -d office -v "file://$work/printed" -m quorvel || fail "root's add"
  quorvel-printer-app modify -d office -o paper-weight-default=heavy -o printer-darkness-configured=75 ||
    fail "root's modify"
  quorvel-printer-app modify -d office -o paper-weight-default=bogus 2>/dev/null && fail "modify took a bogus weight"
  quorvel-printer-app submit -d office "$(cups-config --datadir)/data/default-testpage.pdf" || fail "root's submit"
  quorvel-printer-app jobs -d office >/dev/null || fail "root's jobs"
  for _ in $(seq 1 600); do
    f=$(ls "$work"/printed/* 2>/dev/null | head -n 1)
    [ -n "$f" ] && quorvel-preview "$f" >"$work/preview" 2>/dev/null && break
    sleep 0.1
  done
  grep -q 'density 1, weight 1' "$work/preview" || { cat "$work/service.log"; fail "the service's job: $(cat "$work/preview")"; }
  kill "$service_pid"
  wait "$service_pid" || fail "the service did not stop cleanly: status $?"
  service_pid=
  # No server: status says so and fails; nothing starts one.
  quorvel-printer-app status >"$work/status" 2>&1 && fail "status succeeds with no server"
  grep -q 'No server is running' "$work/status" || fail "status says: $(cat "$work/status")"
  [ "$(root_socket)" = "$root_before" ] || fail "a sub-command started a server of its own"
  rm -rf "/run/$(key RuntimeDirectory)"
fi

echo "== purge"
purge || { cat "$work/purge.log"; fail "dpkg --purge"; }
for p in "${packages[@]}"; do
  ! dpkg-query -W "$p" >/dev/null 2>&1 || fail "$p is still known to dpkg"
done
for f in /usr/lib/cups/filter/rastertoquorvel /usr/share/cups/model/quorvel /usr/bin/quorvel-preview \
         /usr/bin/quorvel-printer-app /usr/lib/systemd/system/quorvel-printer-app.service \
         /etc/systemd/system/multi-user.target.wants/quorvel-printer-app.service /var/lib/quorvel-printer-app; do
  [ ! -e "$f" ] || fail "$f is left after the purge"
done
! getent passwd quorvel >/dev/null || fail "user quorvel is left after the purge"
echo "package test passed"
