#!/usr/bin/env bash
# The fresh-machine check of the README (see docs/fresh-machine.md): makes a minimal Debian 12
# root file system with nothing but git and ca-certificates, clones this repository into it and,
# as root inside it, follows the README from a clone in root's home (/root, mode 0700, where a
# newcomer working as root clones it): scripts/demo with its curl example, scripts/demo --tls
# with its curl lines for POP3S and STARTTLS, the Quick start, Install, scripts/package,
# scripts/test and the inetd examples. Removes the file system at the end.
#
# Run as root on a Debian machine with mmdebstrap and a reachable Debian mirror:
#   docs/fresh-machine-check.sh [BRANCH]        (default: the branch checked out here)
# It takes about half an hour on two cores, and several GB under /tmp. Ports 1100, 1995 and 1110
# must be free.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
branch=${1:-$(git -C "$repo" rev-parse --abbrev-ref HEAD)}
fresh=${FERND_FRESH_ROOT:-/tmp/fernd-fresh-root}

if [[ $(id -u) -ne 0 ]] || ! command -v mmdebstrap >/dev/null; then
  echo "run as root, with mmdebstrap installed (apt-get install mmdebstrap)" >&2
  exit 2
fi
if grep -Eq ':(044C|07CB|0456) 00000000:0000 0A' /proc/net/tcp; then
  echo "port 1100, 1995 or 1110 is taken on this machine; the demos need them" >&2
  exit 2
fi

rm -rf "$fresh"
mmdebstrap --variant=minbase --include=git,ca-certificates bookworm "$fresh"
# Name service as a container gets it from its host.
cp -L /etc/resolv.conf "$fresh/etc/resolv.conf"
git clone -q --bare --branch "$branch" "$repo" "$fresh/srv/fernd.git"

# What a newcomer types, as root in the fresh system. Each step's failure is recorded; the
# check goes on and sums up at the end.
cat >"$fresh/root/check.sh" <<'INSIDE'
set -uo pipefail
failed=()
step() { echo; echo "######## $*"; }
fail() { echo "######## FAILED: $*"; failed+=("$*"); }
port_open() {  # waits (bounded) until something listens on 127.0.0.1:${2:-1100}, while PID $1 runs
  local hex
  hex=$(printf ':%04X 00000000:0000 0A' "${2:-1100}")
  for _ in $(seq 1800); do
    grep -q "$hex" /proc/net/tcp && return 0
    kill -0 "$1" 2>/dev/null || return 1
    sleep 1
  done
  return 1
}
fetch() {  # the README's curl lines for USER:PASSWORD; the list must name message 1
  local list
  list=$(curl "pop3://$1@127.0.0.1:1100/") && echo "$list" && grep -q '^1 ' <<<"$list" &&
    curl "pop3://$1@127.0.0.1:1100/1"
}

# Root's home is mode 0700, as on any Debian system: whatever the suite runs as another user
# must not need to reach into the clone.
echo "/root has mode $(stat -c %a /root)"
[[ $(stat -c %a /root) == 700 ]] || fail "/root is not mode 0700 here"
git clone -q /srv/fernd.git /root/fernd
cd /root/fernd
git log -1 --format='checking %H %s'

step "as another user, scripts/demo stops with the apt-get line"
mkdir -p /tmp/copy && cp -r scripts /tmp/copy/ && chmod -R a+rX /tmp/copy
if setpriv --reuid=nobody --regid=nogroup --clear-groups /tmp/copy/scripts/demo; then
  fail "scripts/demo as nobody did not stop"
fi

step "scripts/demo, and the README's curl example"
scripts/demo >/tmp/demo.out 2>&1 &
demo=$!
if port_open "$demo" && fetch demo:demo; then :; else fail "scripts/demo and curl"; fi
kill "$demo"; wait "$demo"
cat /tmp/demo.out

step "scripts/demo --tls, and the curl lines it prints"
scripts/demo --tls >/tmp/demo-tls.out 2>&1 &
demo=$!
if port_open "$demo" 1995 && port_open "$demo" 1110; then
  for kind in '--cacert' '--ssl-reqd --cacert'; do
    line=$(grep -m1 -E "^  curl $kind .*/1 " /tmp/demo-tls.out)
    echo "$line"
    bash -c "$line" | grep -q '^Subject: Welcome to fernd' ||
      fail "scripts/demo --tls: its curl line (curl $kind)"
  done
else
  fail "scripts/demo --tls"
fi
kill "$demo"; wait "$demo"
cat /tmp/demo-tls.out

step "Quick start: build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release && cmake --build build ||
  fail "Quick start build"

step "Quick start: Maildir, password, standalone fernd, curl"
mkdir -p ~/Maildir/new ~/Maildir/cur ~/Maildir/tmp
printf 'Subject: hello\n\nfirst message\n' > ~/Maildir/new/1.hello
printf 'secret\n' > ~/.fernd-password && chmod 600 ~/.fernd-password
build/src/fernd --log=/dev/stderr --auth="$(id -un),cat $HOME/.fernd-password" --maildir="$HOME/Maildir" &
server=$!
if port_open "$server" && fetch "$(id -un):secret"; then :; else fail "Quick start standalone"; fi
kill "$server"; wait "$server"

step "Install"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr &&
  cmake --build build &&
  cmake --install build &&
  DESTDIR=/tmp/stage cmake --install build &&
  /usr/sbin/fernd --version && find /tmp/stage -type f | sort || fail "Install"

step "scripts/package and dpkg -i"
scripts/package && dpkg -i build/package/fernd_*.deb && dpkg -s fernd | grep '^Status' ||
  fail "scripts/package"

step "scripts/test"
scripts/test || fail "scripts/test"

step "inetd mode: systemd-socket-activate, then socat, each with curl"
systemd-socket-activate --accept --inetd -l 127.0.0.1:1100 \
  "$PWD/build/src/fernd" --inetd --auth="$(id -un),cat $HOME/.fernd-password" --maildir="$HOME/Maildir" &
server=$!
if port_open "$server" && fetch "$(id -un):secret"; then :; else fail "systemd-socket-activate"; fi
kill "$server"; wait "$server"
socat TCP-LISTEN:1100,bind=127.0.0.1,reuseaddr,fork \
  EXEC:"$PWD/build/src/fernd --inetd --auth=$(id -un)\,cat<$HOME/.fernd-password --maildir=$HOME/Maildir",nofork &
server=$!
if port_open "$server" && fetch "$(id -un):secret"; then :; else fail "socat"; fi
kill "$server"; wait "$server"

step "the man page"
man ./docs/fernd.8 | head -n 20 || fail "man"

step "summary"
if [[ ${#failed[@]} -ne 0 ]]; then
  printf 'FAILED: %s\n' "${failed[@]}"
  exit 1
fi
echo "every step passed"
INSIDE

# The mounts live in a mount namespace of their own and end with it.
status=0
unshare --mount --propagation private bash -euc '
  mount -t proc proc "$1/proc"
  mount --rbind /sys "$1/sys"
  mount --rbind /dev "$1/dev"
  chroot "$1" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash /root/check.sh </dev/null
' check "$fresh" || status=$?

if grep -q " $fresh/" /proc/self/mounts; then
  echo "something is still mounted under $fresh: not removing it" >&2
  exit 1
fi
rm -rf "$fresh"
exit "$status"
