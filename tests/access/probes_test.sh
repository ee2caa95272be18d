#!/usr/bin/env bash
# Who may do what on the service, tried as a LAN client would: one table of
# probes against the server run as the packaged unit runs it (its user and
# groups, its ExecStart, port 8000 on every address), in a network
# namespace of its own, with a veth pair to a second namespace that plays
# the LAN. Only documentation addresses (198.51.100.1 the server, .2 the
# LAN client) on that pair; nothing else is reached, nothing announced
# (no avahi-daemon). Two throwaway users are made and removed: an
# administrator (in lpadmin) and a user who is not one.
#
# It changes the system (users, namespaces, a PAM file), so it runs only in
# CI (CI=true) as root, and puts everything back however it ends.
#
#   probes_test.sh BUILD-DIR SOURCE-DIR
set -uo pipefail

if [ "${CI:-}" != true ] || [ "$(id -u)" -ne 0 ]; then
  echo "access probes skipped: they add users and network namespaces, so they run only in CI (CI=true) as root"
  exit 77
fi
for tool in ip setpriv useradd chpasswd ipptool curl; do
  PATH=$PATH:/usr/sbin:/sbin command -v "$tool" >/dev/null || { echo "access probes skipped: no $tool"; exit 77; }
done
export PATH=$PATH:/usr/sbin:/sbin

build=$1 src=$2
bin=$build/app/quorvel-printer-app
preview=$build/tools/quorvel-preview/quorvel-preview
unit=$src/packaging/quorvel-printer-app.service
tag=$$
srv=qv-srv-$tag lan=qv-lan-$tag
server=198.51.100.1 client=198.51.100.2
admin=qvadm$tag user=qvusr$tag service=qvsvc$tag
admin_pw="Adm-$tag-right" user_pw="Usr-$tag-right"
work=$(mktemp -d)
chmod 755 "$work"
# The service user runs its own copy: the checkout may sit in a folder only
# root can enter (a clone into mktemp -d's 0700 folder, say).
install -m 755 "$bin" "$work/quorvel-printer-app"
bin=$work/quorvel-printer-app
made=() # what to undo: "user NAME", "file PATH", "dir PATH", "group NAME"
server_pid= vp_pid=
failures=0

cleanup() {
  local i
  [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
  [ -z "$vp_pid" ] || { kill "$vp_pid" 2>/dev/null; wait "$vp_pid" 2>/dev/null; }
  ip netns del "$srv" 2>/dev/null
  ip netns del "$lan" 2>/dev/null
  for ((i = ${#made[@]} - 1; i >= 0; i--)); do
    set -- ${made[i]}
    case $1 in
    user) userdel "$2" 2>/dev/null ;;
    group) groupdel "$2" 2>/dev/null ;;
    file) rm -f "$2" ;;
    dir) rmdir "$2" 2>/dev/null ;;
    esac
  done
  [ -n "${PROBES_KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP PIPE # the cleanup runs for these too

fail() {
  echo "FAIL: $*"
  [ ! -f "$work/server.log" ] || tail -n 40 "$work/server.log"
  exit 1
}

key() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }

echo "== users, PAM, namespaces"
if ! getent group lpadmin >/dev/null; then groupadd --system lpadmin || fail "groupadd lpadmin"; made+=("group lpadmin"); fi
getent group shadow >/dev/null || fail "no group shadow"
useradd --system -M -N -g lp -s /usr/sbin/nologin "$service" || fail "useradd $service"
made+=("user $service")
useradd --system -M -N -G lpadmin -s /usr/sbin/nologin "$admin" || fail "useradd $admin"
made+=("user $admin")
useradd --system -M -N -s /usr/sbin/nologin "$user" || fail "useradd $user"
made+=("user $user")
printf '%s:%s\n%s:%s\n' "$admin" "$admin_pw" "$user" "$user_pw" | chpasswd || fail "chpasswd"
pam=/etc/pam.d/quorvel-printer-app
if [ ! -e "$pam" ]; then cp "$src/packaging/debian/app/pam" "$pam"; made+=("file $pam"); fi
# The folders systemd makes for the unit are bind-mounted from here inside
# the server's namespace; the mount points are made (and removed) if missing.
state=/var/lib/$(key StateDirectory) runtime=/run/$(key RuntimeDirectory)
for d in "$state" "$runtime"; do
  [ -d "$d" ] || { mkdir "$d" && made+=("dir $d"); }
done
mkdir -p "$work/state" "$work/runtime" "$work/tmp" "$work/home" "$work/jobs"
chown "$service:lp" "$work/state" "$work/runtime" "$work/tmp"
chmod "$(key StateDirectoryMode)" "$work/state"
chmod "$(key RuntimeDirectoryMode)" "$work/runtime"

ip netns add "$srv" && ip netns add "$lan" || fail "ip netns add"
ip link add "qvs$tag" type veth peer name "qvl$tag" || fail "veth"
ip link set "qvs$tag" netns "$srv" && ip link set "qvl$tag" netns "$lan" || fail "veth into the namespaces"
ip -n "$srv" addr add "$server/24" dev "qvs$tag" && ip -n "$lan" addr add "$client/24" dev "qvl$tag" || fail "addresses"
for ns in "$srv" "$lan"; do ip -n "$ns" link set lo up; done
ip -n "$srv" link set "qvs$tag" up && ip -n "$lan" link set "qvl$tag" up || fail "links up"

# start_server [EXTRA OPTIONS]: the unit's ExecStart (or $EXEC) as its user
# with its groups and environment, in the server's namespace (where it has
# port 8000 of every address to itself); its log in $work/server.log. Its
# printer is on a socket device, whose host name PAPPL 1.3.1 never frees:
# in the sanitizer build its leaks are not checked (as in network_test.sh).
start_server() {
  local groups exec
  groups=$(id -G "$service" | tr ' ' ','),$(getent group "$(key SupplementaryGroups)" | cut -d: -f3)
  exec="${EXEC:-$(key ExecStart)} $*"
  touch "$work/server.log"
  chown "$service" "$work/server.log"
  local as=(setpriv --reuid="$service" --regid="$(key Group)" --groups="$groups")
  [ -z "${AS_ROOT:-}" ] || as=()
  ip netns exec "$srv" sh -c 'while [ "$1" != -- ]; do mount --bind "$1" "$2" || exit 1; shift 2; done; shift; exec "$@"' \
    sh "$work/state" "$state" "$work/runtime" "$runtime" ${BINDS:-} -- \
    env -i PATH=/usr/bin:/bin TMPDIR="$work/tmp" $(key Environment) ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
    ${LSAN_OPTIONS:+LSAN_OPTIONS=$LSAN_OPTIONS} ${UBSAN_OPTIONS:+UBSAN_OPTIONS=$UBSAN_OPTIONS} \
    "${as[@]}" "${QWATCH[@]}" 900 ${exec/\/usr\/bin\/quorvel-printer-app/$bin} -o log-level=info -o log-file="$work/server.log" \
    </dev/null >>"$work/server.out" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 100); do
    on_srv curl -s -o /dev/null --max-time 2 "http://127.0.0.1:8000/" && qwatch_armed "$server_pid" && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/server.out"
  fail "the server did not start"
}

stop_server() {
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=
}

on_srv() { ip netns exec "$srv" env HOME="$work/home" "$@"; }
on_lan() { ip netns exec "$lan" env HOME="$work/home" "$@"; }

# web WHERE SCHEME PATH CREDENTIALS: the HTTP status of a GET.
web() {
  local host=$server creds=()
  [ "$1" = loopback ] && host=127.0.0.1
  [ "$4" = - ] || creds=(-u "$4")
  "on_${1/loopback/srv}" curl -sk --noproxy '*' --max-time 30 -o /dev/null -w '%{http_code}' "${creds[@]}" \
    "$2://$host:8000$3"
}

# ipp WHERE SCHEME TEST CREDENTIALS VARS...: the status and job values of
# an IPP request, as access_test.sh's ask shows them.
ipp() {
  local host=$server creds= where=$1 scheme=$2 test=$3
  [ "$where" = loopback ] && host=127.0.0.1
  [ "$4" = - ] || creds="$4@"
  shift 4
  local vars=() v
  for v in "$@"; do vars+=(-d "$v"); done
  "on_${where/loopback/srv}" timeout 60 ipptool -T 30 -tv -f "$work/doc.pwg" "${vars[@]}" \
    "$scheme://$creds$host:8000/ipp/print/q" "$src/tests/app/$test" 2>&1 |
    awk '/status-code = / {s = $3} /job-name \(/ {v = v " name=" $NF}
         /job-originating-user-name \(/ {v = v " user=" $NF} /job-state \(enum\)/ {v = v " state=" $NF}
         /job-id \(integer\)/ {v = v " id=" $NF} END {print s v}'
}

# create WHERE SCHEME CREDENTIALS NAME DEVICE: Create-Printer's status.
create() {
  local host=$server creds=
  [ "$1" = loopback ] && host=127.0.0.1
  [ "$3" = - ] || creds="$3@"
  "on_${1/loopback/srv}" timeout 60 ipptool -T 30 -tv -d name="$4" -d device="$5" \
    "$2://$creds$host:8000/ipp/system" "$work/create.test" 2>&1 | awk '/status-code = / {s = $3} END {print s}'
}

cat >"$work/create.test" <<'EOF'
{
 OPERATION Create-Printer
 GROUP operation-attributes-tag
 ATTR charset attributes-charset utf-8
 ATTR naturalLanguage attributes-natural-language en
 ATTR uri system-uri $uri
 ATTR name requesting-user-name probe
 ATTR keyword printer-service-type print
 ATTR keyword smi55357-driver quorvel
 ATTR uri smi55357-device-uri $device
 GROUP printer-attributes-tag
 ATTR name printer-name $name
}
EOF
. "$src/tests/support/servers.sh"
qdoc "$work/doc.pwg" 1 || fail "no document"
chmod 644 "$work/doc.pwg"

# The printer the jobs go to: the virtual printer, on the server's own loopback.
ip netns exec "$srv" "${QWATCH[@]}" 900 "$preview" --listen 127.0.0.1:9100 --output "$work/jobs" \
  </dev/null >"$work/jobs.lines" 2>"$work/jobs.log" &
vp_pid=$!

# probe WHO FROM OVER WHAT EXPECTED GOT: one row's verdict.
probe() {
  local verdict=ok
  # shellcheck disable=SC2053
  [[ $6 == $5 ]] || { verdict=FAILED; failures=$((failures + 1)); }
  printf '%-7s %-12s %-9s %-6s %-44s expected %-32s got %s\n' "$verdict" "$1" "$2" "$3" "$4" "$5" "$6"
}

A="$admin:$admin_pw" U="$user:$user_pw"

echo "== the service as the unit runs it"
start_server
probe admin loopback http "Create-Printer (its own password)" successful-ok "$(create loopback ipp "$A" q socket://127.0.0.1:9100)"
a=$(ipp lan ipp access-print.test - who=alice name=medical-leave.pdf | sed -n 's/.* id=\([0-9]*\).*/\1/p')
# Printing: open to everyone, no login, plain and TLS.
# who      from       over   what                                        expected                                   got
probe anyone  lan      ipp    "Get-Printer-Attributes"               successful-ok            "$(ipp lan ipp access-printer.test - op=Get-Printer-Attributes who=anyone)"
probe alice   lan      ipp    "Print-Job (held), no login"           "successful-ok*"          "$( [ -n "$a" ] && echo successful-ok)"
probe bob     lan      ipps   "Print-Job (held), no login"           "successful-ok*"          "$(ipp lan ipps access-print.test - who=bob name=bobs-notes.pdf)"
probe dave    lan      ipp    "Create-Job and Send-Document"         "successful-ok*"         "$(ipp lan ipp access-create.test - who=dave name=dave.pdf)"
probe carol   lan      ipp    "Validate-Job"                         successful-ok            "$(ipp lan ipp access-printer.test - op=Validate-Job who=carol)"
probe alice   lan      ipp    "Get-Job-Attributes of her job"        "successful-ok*name=medical-leave.pdf*user=alice*" "$(ipp lan ipp access-job.test - op=Get-Job-Attributes who=alice job="$a")"
probe mallory lan      ipp    "Get-Job-Attributes of alice's job"    "successful-ok*name=(hidden)?user=(hidden)*state=pending-held*" "$(ipp lan ipp access-job.test - op=Get-Job-Attributes who=mallory job="$a")"
probe mallory lan      ipps   "Get-Jobs: others' names"              "successful-ok*name=(hidden)*" "$(ipp lan ipps access-printer.test - op=Get-Jobs who=mallory)"
got=$(ipp lan ipp access-printer.test - op=Get-Jobs who=mallory)
probe mallory lan      ipp    "Get-Jobs never shows the names"       "no name"                "$([[ $got == *medical-leave* || $got == *bobs-notes* ]] && echo "$got" || echo "no name")"
probe mallory lan      ipp    "Cancel-Job of alice's job"            "client-error-not-authorized*" "$(ipp lan ipp access-job.test - op=Cancel-Job who=mallory job="$a")"
probe mallory lan      ipp    "Cancel-My-Jobs"                       successful-ok            "$(ipp lan ipp access-printer.test - op=Cancel-My-Jobs who=mallory)"
probe alice   lan      ipp    "her job is still held"                "successful-ok*state=pending-held*" "$(ipp lan ipp access-job.test - op=Get-Job-Attributes who=alice job="$a")"
probe alice   lan      ipp    "Release-Job of her job: it prints"    "successful-ok*"      "$(ipp lan ipp access-job.test - op=Release-Job who=alice job="$a")"
# The web pages: status open, administration not.
probe anyone  lan      http   "GET / (status)"                       200                      "$(web lan http / -)"
probe anyone  lan      http   "GET /config"                          "30[18]"                 "$(web lan http /config -)"
probe admin   lan      http   "GET /config, right password"          "30[18]"                 "$(web lan http /config "$A")"
probe admin   lan      https  "GET /config, right password"          403                      "$(web lan https /config "$A")"
probe anyone  lan      http   "GET /logfile.txt"                     "30[18]"                 "$(web lan http /logfile.txt -)"
probe anyone  lan      https  "GET /logfile.txt"                     403                      "$(web lan https /logfile.txt -)"
probe anyone  lan      ipp    "Create-Printer"                       "client-error-forbidden" "$(create lan ipp - lan socket://127.0.0.1:9100)"
probe admin   lan      ipps   "Create-Printer, right password"       "client-error-forbidden" "$(create lan ipps "$A" lan socket://127.0.0.1:9100)"
probe anyone  loopback http   "GET /config, no password"             401                      "$(web loopback http /config -)"
probe admin   loopback http   "GET /config, wrong password"          401                      "$(web loopback http /config "$admin:wrong")"
probe nobody  loopback http   "GET /config, unknown user"            401                      "$(web loopback http /config "qvnone$tag:x")"
probe user    loopback http   "GET /config, right password"          403                      "$(web loopback http /config "$U")"
probe admin   loopback http   "GET /config, right password"          200                      "$(web loopback http /config "$A")"
probe admin   loopback http   "GET /logfile.txt, right password"     "20[06]"                     "$(web loopback http /logfile.txt "$A")"
probe admin   loopback http   "GET /security (no access password)"   404                      "$(web loopback http /security "$A")"
probe user    loopback http   "Create-Printer, right password"       client-error-forbidden   "$(create loopback ipp "$U" u socket://127.0.0.1:9100)"
probe user    loopback ipp    "... and there is no printer u"        client-error-not-found   "$(on_srv timeout 60 ipptool -tv -d op=Get-Printer-Attributes -d who=x ipp://127.0.0.1:8000/ipp/print/u "$src/tests/app/access-printer.test" 2>&1 | awk '/status-code = / {s = $3} END {print s}')"
probe admin   loopback http   "Create-Printer, file: device"         "*-error-*"         "$(create loopback ipp "$A" f "file://$work/tmp")"
probe admin   loopback http   "... refused as a file: device"        "*takes no file: devices*" "$(grep -o "Printer 'f' refused.*" "$work/server.log")"
probe admin   loopback ipp    "Cancel-Job of bob's job, password"    "successful-ok*"      "$(ipp loopback ipp access-job.test "$A" op=Cancel-Job who="$admin" job=$((a + 1)))"
# Secrets on disk (the state is saved once the printers are quiet).
for _ in $(seq 1 100); do [ -s "$work/state/quorvel-printer-app.state" ] && break; sleep 0.1; done
probe service disk     -      "state file mode"                      600                      "$(stat -c %a "$work/state/quorvel-printer-app.state" 2>&1)"
key_file=$(ls "$work/state/quorvel-printer-app.tls/"*.key 2>/dev/null | head -n 1)
probe service disk     -      "TLS key in its state folder, mode"    600                      "$( [ -n "$key_file" ] && stat -c %a "$key_file" || echo "no key in $work/state/quorvel-printer-app.tls")"
for _ in $(seq 1 300); do grep -q '^job 1:' "$work/jobs.lines" && break; sleep 0.1; done
probe alice   printer  -      "her released job reached the printer" "job 1: 1 page,*well-formed"        "$(head -n 1 "$work/jobs.lines")"
stop_server

echo "== with server-options=web-remote (the administrator opened remote administration)"
start_server -o server-options=web-remote
probe admin   lan      http   "GET /config, right password"          "30[18]"                 "$(web lan http /config "$A")"
probe admin   lan      https  "GET /config, right password"          200                      "$(web lan https /config "$A")"
probe admin   lan      https  "GET /config, wrong password"          401                      "$(web lan https /config "$admin:wrong")"
probe user    lan      https  "GET /config, right password"          403                      "$(web lan https /config "$U")"
probe anyone  lan      https  "GET /config, no password"             401                      "$(web lan https /config -)"
probe admin   lan      ipps   "Create-Printer, right password"       successful-ok            "$(create lan ipps "$A" remote socket://127.0.0.1:9100)"
probe user    lan      ipps   "Create-Printer, right password"       client-error-forbidden   "$(create lan ipps "$U" remote2 socket://127.0.0.1:9100)"
probe anyone  lan      ipp    "Print-Job, no login"                  "successful-ok*"          "$(ipp lan ipp access-print.test - who=dave name=d.pdf)"
stop_server

echo "== a private server (no admin group), even with server-options=web-remote"
EXEC="/usr/bin/quorvel-printer-app server -o server-port=8000 -o spool-directory=$state/spool" \
  start_server -o server-options=web-remote
probe anyone  loopback http   "GET /config, no password"             200                      "$(web loopback http /config -)"
probe anyone  lan      http   "GET /config"                          "30[18]"                 "$(web lan http /config -)"
probe admin   lan      https  "GET /config, right password"          403                      "$(web lan https /config "$A")"
probe anyone  lan      ipps   "Create-Printer"                       client-error-forbidden   "$(create lan ipps - p socket://127.0.0.1:9100)"
probe anyone  lan      ipp    "Print-Job, no login"                  "successful-ok*"         "$(ipp lan ipp access-print.test - who=erin name=e.pdf)"
stop_server

# A sanitizer build's server must not have reported a fault.
if grep -q -E 'Sanitizer|runtime error' "$work/server.out"; then
  cat "$work/server.out"
  fail "the server's sanitizer report"
fi
echo "== run as root (its state folder /var/lib, /run for its socket and CUPS's /etc/cups/ssl are stand-ins here)"
mkdir -p "$work/varlib" "$work/cups-ssl" "$work/rootspool" "$work/rootrun"
BINDS="$work/varlib /var/lib $work/rootrun /run $work/cups-ssl /etc/cups/ssl" AS_ROOT=1 \
  EXEC="/usr/bin/quorvel-printer-app server -o server-port=8000 -o spool-directory=$work/rootspool" start_server
probe anyone  lan      https  "GET / (makes the TLS credentials)"    200                      "$(web lan https / -)"
key_file=$(ls "$work/varlib/quorvel-printer-app.tls/"*.key 2>/dev/null | head -n 1)
probe root    disk     -      "TLS key in its own folder, mode"      600                      "$( [ -n "$key_file" ] && stat -c %a "$key_file" || echo "no key in /var/lib/quorvel-printer-app.tls")"
probe root    disk     -      "nothing in /etc/cups/ssl"             ""                       "$(ls -A "$work/cups-ssl")"
stop_server

[ "$failures" -eq 0 ] || fail "$failures probes did not hold"
echo "access probes passed"
