#!/usr/bin/env bash
# Build and test this checkout on another Debian release, as a new user of
# that release would: a fresh root made with mmdebstrap from Debian's
# package registry, the project's own set-up run in it, then the build and
# the whole test suite (the package test too: CI=true, as root). The
# servers the tests start listen on localhost, as in CI. Runs as root.
#
#   scripts/check-distro.sh SUITE [--all | --builds]
#
# SUITE is a Debian release (trixie, bookworm). With --all the root runs
# scripts/test.sh (sanitizer build, fuzzing, then the suite) instead of the
# plain build and suite; with --builds it first builds every build type
# (Release, RelWithDebInfo, Debug and the sanitizer build), with Make, and
# fails on any compiler warning. The root lives in a temporary folder and is
# removed afterwards, whatever happens; QUORVEL_DISTRO_KEEP=1 keeps it.
set -euo pipefail

usage() {
  echo "usage: $0 SUITE [--all | --builds]   (SUITE: trixie, bookworm)" >&2
  exit 2
}

# The whole script is one function, read before it runs, so that editing
# the file while a long run goes on does not change what that run does.
main() {
[ $# -ge 1 ] || usage
suite=$1
mode=suite
if [ $# -ge 2 ]; then
  case $2 in --all) mode=all ;; --builds) mode=builds ;; *) usage ;; esac
fi
case $suite in trixie | bookworm) ;; *) usage ;; esac
[ "$(id -u)" -eq 0 ] || { echo "$0: run as root (it makes a root file system and mounts /proc in it)" >&2; exit 2; }

top=$(cd "$(dirname "$0")/.." && pwd)
mirror=http://deb.debian.org/debian
security=http://deb.debian.org/debian-security

command -v mmdebstrap >/dev/null || {
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends mmdebstrap
}

root=$(mktemp -d "${TMPDIR:-/var/tmp}/quorvel-$suite.XXXXXX")
chmod 755 "$root"

# mounted_under DIR: the mount points at or below DIR, deepest first.
mounted_under() {
  awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

# The long steps run in the background and the script waits for them: a
# signal ends a wait at once, whereas bash would run its trap only after a
# foreground command had finished.
step=
# run_step COMMAND...: run it, and wait for it.
run_step() {
  local status=0
  "$@" &
  step=$!
  wait "$step" || status=$?
  step=
  return "$status"
}

# stop_step: end the step that runs and wait for it. The step is timeout's
# process group: TERM first (mmdebstrap then undoes its own mounts), KILL
# after 30 s. The root's run ends with its unshare, whose forked child, the
# first process of the root's pid namespace, is then killed, and with it
# everything started in the root.
stop_step() {
  local i
  [ -n "$step" ] || return 0
  kill -TERM -- -"$step" 2>/dev/null || true
  for i in $(seq 1 60); do kill -0 "$step" 2>/dev/null || break; sleep 0.5; done
  kill -KILL -- -"$step" 2>/dev/null || true
  wait "$step" 2>/dev/null || true
  step=
}

# in_root: whether a process still runs inside the root.
in_root() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/root" 2>/dev/null)" != "$root" ] || return 0
  done
  return 1
}

# cleanup: stop what runs, unmount whatever is still mounted in the root
# (the mounts are made in a private namespace, so normally nothing is),
# then remove it; never removes through a mount that is still there.
cleanup() {
  local status=$? m i
  trap - EXIT INT TERM
  stop_step
  for i in $(seq 1 30); do in_root || break; sleep 1; done
  rm -f "$root.mmdebstrap.log"
  for m in $(mounted_under "$root"); do umount "$m" 2>/dev/null || umount -l "$m" || true; done
  if [ -n "$(mounted_under "$root")" ] || in_root; then
    echo "check-distro: still mounted or in use: $root left in place" >&2
  elif [ -n "${QUORVEL_DISTRO_KEEP:-}" ]; then
    echo "check-distro: root kept in $root"
  else
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start=$(date +%s)
elapsed() { echo "$(($(date +%s) - start)) s"; }

echo "== $suite root from $mirror in $root"
sources=("deb $mirror $suite main" "deb $mirror $suite-updates main" "deb $security $suite-security main")
run_step timeout 1800 mmdebstrap --mode=root --variant=minbase --include=ca-certificates \
  "$suite" "$root" "${sources[@]}" >"$root.mmdebstrap.log" 2>&1 || { tail -n 40 "$root.mmdebstrap.log"; exit 1; }
echo "root made after $(elapsed)"

# The checkout as it is now (committed or not, without build folders).
mkdir -p "$root/build/quorvel"
chmod 755 "$root/build" "$root/build/quorvel"
(cd "$top" && git ls-files -z --cached --others --exclude-standard | xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
  tar --null -T - -cf -) | tar -xf - -C "$root/build/quorvel"

# What runs inside the root: the set-up, the build and the tests.
suite_run='cmake -S . -B build -G Ninja >/dev/null && ninja -C build -j2 && ctest --test-dir build -j2 --output-on-failure'
case $mode in
  all) run='scripts/test.sh' ;;
  suite) run=$suite_run ;;
  builds)
    # The build types as the README's by-hand commands make them, with
    # CMake's default generator; the output is kept for the warnings.
    run='for t in Release RelWithDebInfo Debug Sanitize; do
  opts=(-DCMAKE_BUILD_TYPE=$t)
  [ $t != Sanitize ] || opts=(-DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON)
  cmake -S . -B build-$t "${opts[@]}" >/dev/null
  cmake --build build-$t -j2 >/build/build.log 2>&1 || { tail -n 40 /build/build.log; exit 1; }
  n=$(grep -c "warning:" /build/build.log || true)
  echo "$t build: $n compiler warnings"
  [ "$n" -eq 0 ] || { grep -A3 "warning:" /build/build.log; exit 1; }
done
'$suite_run ;;
esac
cat >"$root/build/run.sh" <<EOF
set -euo pipefail
cd /build/quorvel
echo "== set-up"
apt-get update -q >/dev/null
timeout 3600 scripts/setup.sh >/build/setup.log 2>&1 || { tail -n 40 /build/setup.log; exit 1; }
echo "set-up done after \$SECONDS s in the root"
. /etc/os-release
echo "\$PRETTY_NAME: \$(g++ --version | head -n 1); \$(cmake --version | head -n 1);" \
  "CUPS \$(cups-config --version); PAPPL \$(pkg-config --modversion pappl);" \
  "Ghostscript \$(gs --version); glibc \$(dpkg-query -W -f='\${Version}' libc6)"
echo "== build and test"
$run
echo "build and tests done after \$SECONDS s in the root"
EOF

# The root's own /proc, /dev, /sys and /run, in a mount namespace of their
# own and a pid namespace: when the run ends, however it ends, the mounts
# go away and nothing started inside is left running.
echo "== set-up, build and tests inside the root"
status=0
run_step timeout -k 30 5400 unshare --mount --pid --fork --kill-child --propagation private bash -euc '
  r=$1
  mount -t proc proc "$r/proc"
  mount --rbind /dev "$r/dev"
  mount -t sysfs sysfs "$r/sys"
  mount -t tmpfs tmpfs "$r/run"
  mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
  cp -L /etc/resolv.conf "$r/etc/resolv.conf"
  exec chroot "$r" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 CI=true TERM=dumb bash /build/run.sh
' check-distro "$root" || status=$?
echo "== $suite: exit status $status after $(elapsed)"
exit "$status"
}

main "$@"
