#!/usr/bin/env bash
# Who may do what, over loopback, no root needed: access_test.sh CASE BUILD-DIR SOURCE-DIR
#
#   owners   a job belongs to its requesting-user-name; only its owner (or
#            an administrator) changes it or sees its name, over IPP and on
#            the printer's page; forms only from administrators
#   private  a server with no admin group: loopback administers
#   devices  file: devices only under the folder the server was given
#   secrets  the state file and the TLS key are the server's alone
#
# The service's whole policy, from a LAN, with passwords and TLS, is
# tests/access/probes_test.sh (root only).
set -euo pipefail
case_name=$1 build=$2 src=$3
here=$src/tests/app
bin=$build/app/quorvel-printer-app
source "$src/tests/support/servers.sh"
tmp=${TMPDIR:-/tmp} # qapp_start moves TMPDIR into its server's folder
trap qapp_stop EXIT

fail() {
  echo "FAIL: $*" >&2
  [ -z "${QAPP_DIR:-}" ] || tail -n 30 "$QAPP_DIR/server.log" >&2
  exit 1
}

# ask TEST OP WHO [JOB [NAME]]: what a client sees: "STATUS" and, per job,
# " name=... user=... state=..." in the order of the answer.
ask() {
  timeout 60 ipptool -tv -d op="$2" -d who="$3" -d job="${4:-0}" -d name="${5:-doc}" -f "$doc" \
    "ipp://localhost:$QAPP_PORT/ipp/print/q1" "$here/$1" 2>&1 |
    awk '/status-code = / {s = $3} /job-name \(/ {v = v " name=" $NF}
         /job-originating-user-name \(/ {v = v " user=" $NF} /job-state \(enum\)/ {v = v " state=" $NF}
         END {print s v}'
}

# expect WHAT GOT PATTERN: GOT matches the glob PATTERN.
expect() {
  # shellcheck disable=SC2053
  [[ $2 == $3 ]] || fail "$1: got '$2', expected '$3'"
}

# held WHO NAME: a held job sent as WHO; prints its id.
held() {
  timeout 60 ipptool -tv -d who="$1" -d name="$2" -f "$doc" "ipp://localhost:$QAPP_PORT/ipp/print/q1" \
    "$here/access-print.test" | sed -n 's/.*job-id (integer) = //p'
}

# reasons: the printer's state reasons.
reasons() {
  timeout 60 ipptool -tv -d op=Get-Printer-Attributes -d who=x \
    "ipp://localhost:$QAPP_PORT/ipp/print/q1" "$here/access-printer.test" | sed -n 's/.*printer-state-reasons (.*) = //p'
}

# post_form PATH ACTION [CURL-ARGS...]: a web form POSTed as a browser
# sends it, with the page's own session token; prints the HTTP status.
post_form() {
  local jar=$QAPP_DIR/cookies page token
  page=$(curl -s --noproxy '*' --max-time 30 -c "$jar" -b "$jar" "${@:3}" "http://localhost:$QAPP_PORT$1")
  token=$(sed -n 's/.*name="session" value="\([^"]*\)".*/\1/p' <<<"$page" | head -n 1)
  curl -s --noproxy '*' --max-time 30 -o /dev/null -w '%{http_code}' -c "$jar" -b "$jar" "${@:3}" \
    --data-urlencode "session=$token" --data-urlencode "action=$2" "http://localhost:$QAPP_PORT$1"
}

# page PATH [CURL-ARGS...]: "STATUS" then the page.
page() {
  local body=$QAPP_DIR/page.html code
  code=$(curl -s --noproxy '*' --max-time 30 -o "$body" -w '%{http_code}' "${@:2}" "http://localhost:$QAPP_PORT$1")
  echo "$code"
  cat "$body"
}

doc=$(mktemp "$tmp/access.XXXXXX.pwg")
trap 'qapp_stop; rm -f "$doc"' EXIT
qdoc "$doc" 1

case $case_name in
owners)
  # The service's policy without its passwords: an admin group, and a PAM
  # service that takes none, so loopback clients are not administrators
  # unless they come through the sub-commands' socket.
  qapp_start "$bin" -o admin-group=root -o auth-service=quorvel-access-test-none
  qapp_cmd add -d q1 -v "file://$QAPP_DIR/out" -m quorvel >/dev/null
  a=$(held alice medical-leave.pdf || true)
  b=$(held bob bobs-notes.pdf || true)
  [ -n "$a" ] && [ -n "$b" ] || fail "no held jobs: printing from loopback asked for more than a requesting-user-name"
  # Another user's change of a job is refused: asked to log in (loopback
  # may carry a password), and refused with a password that is not an
  # administrator's.
  # what                                     test file           operation           who    job  expected
  while read -r what file op who job expected; do
    [ -n "$what" ] || continue
    job=${job/A/$a} job=${job/B/$b}
    expect "${what//_/ }" "$(ask "$file" "$op" "$who" "$job")" "$expected"
  done <<EOF
owner_sees_her_job                 access-job.test     Get-Job-Attributes  alice  A  successful-ok?name=medical-leave.pdf?user=alice?state=pending-held
names_compare_without_case         access-job.test     Get-Job-Attributes  Alice  A  successful-ok?name=medical-leave.pdf?user=alice?state=pending-held
others_see_it_exists,_not_its_name access-job.test     Get-Job-Attributes  bob    A  successful-ok?name=(hidden)?user=(hidden)?state=pending-held
Get-Jobs_hides_others'_names       access-printer.test Get-Jobs            bob    0  successful-ok*name=bobs-notes.pdf?user=bob*name=(hidden)?user=(hidden)*
another_user_cancels               access-job.test     Cancel-Job          bob    A  client-error-not-auth*
another_user_releases              access-job.test     Release-Job         bob    A  client-error-not-auth*
another_user_holds                 access-job.test     Hold-Job            mallory A client-error-not-auth*
Cancel-My-Jobs_cancels_the_caller's access-printer.test Cancel-My-Jobs     bob    0  successful-ok
so_alice's_job_is_still_held       access-job.test     Get-Job-Attributes  alice  A  successful-ok*state=pending-held
and_bob's_is_cancelled             access-job.test     Get-Job-Attributes  bob    B  successful-ok*state=canceled
the_owner_releases_and_cancels     access-job.test     Cancel-Job          alice  A  successful-ok
EOF
  expect "alice's cancel" "$(ask access-job.test Get-Job-Attributes alice "$a")" "successful-ok*state=canceled"
  # Get-Jobs never showed the name to another user.
  c=$(held carol "carol-private.pdf")
  [[ $(ask access-printer.test Get-Jobs dave) != *carol-private* ]] || fail "Get-Jobs showed carol's job name to dave"
  # A subscriber hears that a job was created; its name and owner only
  # when it is theirs. (PAPPL's Get-Notifications answer has an empty
  # notify-subscription-uuid, which ipptool calls a failure: the values are
  # read from what it shows.)
  for row in "bob (hidden) (hidden)" "alice secret-notify.pdf alice"; do
    read -r who name owner <<<"$row"
    got=$({ timeout 60 ipptool -tv -d who="$who" -f "$doc" "ipp://localhost:$QAPP_PORT/ipp/print/q1" \
      "$here/access-notify.test" 2>&1 || true; } | sed -n '/Get-Notifications as/,$p' |
      awk '/job-name \(/ {v = v " name=" $NF} /job-originating-user-name \(/ {v = v " user=" $NF} END {print v}')
    expect "$who's notifications" "$got" " name=$name user=$owner"
  done
  # The sub-commands come through the local socket: an administrator's view.
  listed=$(qapp_cmd jobs -d q1 2>&1)
  [[ $listed == *carol*carol-private.pdf* ]] || fail "'jobs' does not show the owner and name: $listed"
  # The printer's page, to a client that is not an administrator: the job
  # is there, its name and owner are not.
  got=$(page /q1/)
  [[ $got == 200* && $got == *"(hidden)"* && $got != *carol-private* && $got != *">carol<"* ]] ||
    fail "the printer page shows others' job names or owners: $(grep -o '<tr><td>[0-9]*</td>.\{0,80\}' <<<"$got" | head -n 3)"
  # Administration pages and forms: not for this client.
  while read -r what path args expected; do
    [ -n "$what" ] || continue
    # shellcheck disable=SC2086
    expect "${what//_/ }" "$(page "$path" $args | head -n 1)" "$expected"
  done <<EOF
the_jobs_page_asks_for_a_login    /q1/jobs  -s                 401
a_wrong_password_does_not_log_in  /q1/jobs  -uroot:wrong  401
the_log                           /logfile.txt        -s                 401
the_system_settings               /config             -s                 401
EOF
  [[ $(reasons) != *hold-new-jobs* ]] || fail "the printer holds new jobs before the test"
  post_form /q1/ hold-new-jobs >/dev/null
  [[ $(reasons) != *hold-new-jobs* ]] || fail "a form from someone not an administrator held new jobs"
  grep -q "Form refused: not from an administrator" "$QAPP_DIR/server.log" || fail "the form was not refused"
  ;;
private)
  # No admin group: loopback administers without a password, as before.
  qapp_start "$bin"
  qapp_cmd add -d q1 -v "file://$QAPP_DIR/out" -m quorvel >/dev/null
  a=$(held alice medical-leave.pdf || true)
  expect "loopback sees every job" "$(ask access-job.test Get-Job-Attributes bob "$a")" \
    "successful-ok?name=medical-leave.pdf?user=alice?state=pending-held"
  expect "loopback's Cancel-My-Jobs is the caller's" "$(ask access-printer.test Cancel-My-Jobs bob)" successful-ok
  expect "so alice's job stays" "$(ask access-job.test Get-Job-Attributes alice "$a")" "successful-ok*state=pending-held"
  expect "loopback cancels anyone's job" "$(ask access-job.test Cancel-Job bob "$a")" successful-ok
  expect "the jobs page" "$(page /q1/jobs | head -n 1)" 200
  post_form /q1/ hold-new-jobs >/dev/null
  [[ $(reasons) == *hold-new-jobs* ]] || fail "loopback's form did not hold new jobs"
  ;;
devices)
  allowed=$(mktemp -d "$tmp/access-files.XXXXXX")
  trap 'qapp_stop; rm -rf "$doc" "$allowed"' EXIT
  mkdir -p "$allowed/out" "$allowed/../access-outside.$$"
  : >"$allowed/out/job.prn"
  ln -s /etc "$allowed/etc"
  QAPP_FILE_DEVICES=$allowed qapp_start "$bin"
  #  printer  device URI                                        added?
  while read -r name uri added; do
    if qapp_cmd add -d "$name" -v "$uri" -m quorvel >/dev/null 2>&1; then got=yes; else got=no; fi
    [ "$got" = "$added" ] || fail "add $uri: added=$got, expected $added"
  done <<EOF
inside     file://$allowed/out                      yes
a-file     file://$allowed/out/job.prn              yes
outside    file://$allowed/../access-outside.$$     no
dot-dot    file://$allowed/out/../../access-outside.$$ no
link       file://$allowed/etc/passwd               no
etc        file:///etc/quorvel-test.prn             no
EOF
  rmdir "$allowed/../access-outside.$$"
  grep -q "refused: file: devices must be under $allowed" "$QAPP_DIR/server.log" || fail "no reason in the log"
  qapp_stop
  # Without the option: no file: devices at all (the service's default).
  QAPP_DIR= TMPDIR=$tmp
  qapp_start "$bin" -o file-devices=
  qapp_cmd add -d none -v "file://$QAPP_DIR/out" -m quorvel >/dev/null 2>&1 && fail "a file: device without a folder"
  qapp_cmd add -d net -v "socket://localhost:9" -m quorvel >/dev/null || fail "a socket device was refused"
  ;;
secrets)
  qapp_start "$bin"
  qapp_cmd add -d q1 -v "file://$QAPP_DIR/out" -m quorvel >/dev/null
  state=$SNAP_COMMON/quorvel-printer-app.state
  for _ in $(seq 1 100); do [ -s "$state" ] && break; sleep 0.1; done
  expect "the state file's mode" "$(stat -c %a "$state")" 600
  # One an older version left readable by everyone is made the server's.
  chmod 0644 "$state"
  qapp_restart
  qapp_cmd modify -d q1 -o paper-weight-default=heavy >/dev/null
  for _ in $(seq 1 100); do [ "$(stat -c %a "$state")" = 600 ] && break; sleep 0.1; done
  expect "the old state file's mode" "$(stat -c %a "$state")" 600
  # With TLS (the test servers have none): the credentials PAPPL makes on
  # the first TLS connection go beside the state, the key the server's.
  qapp_restart -o server-options=web-log
  curl -sk --noproxy '*' --max-time 30 -o /dev/null "https://localhost:$QAPP_PORT/" || fail "no TLS"
  tls=$SNAP_COMMON/quorvel-printer-app.tls
  key=$(ls "$tls"/*.key 2>/dev/null | head -n 1)
  [ -n "$key" ] || fail "no TLS key in $tls: $(ls -la "$SNAP_COMMON" "$QAPP_DIR/home" 2>&1)"
  expect "the TLS folder's mode" "$(stat -c %a "$tls")" 700
  expect "the TLS key's mode" "$(stat -c %a "$key")" 600
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "access $case_name: passed"
