#!/usr/bin/env bash
# Starts and stops a throwaway single-node OpenStack Swift (Debian's packages) with its
# S3 API, for the tests that talk to an S3 endpoint.
#
#   scripts/s3-test-server.sh start DIR   # DIR: an empty temporary folder made by the caller
#   scripts/s3-test-server.sh stop DIR
#
# start writes the configuration, rings, storage, logs (DIR/*.log) and DIR/pids under DIR,
# runs the proxy, account, container and object servers on free ports of 127.0.0.1 and
# prints one line, the endpoint: http://127.0.0.1:PORT. Credentials (tempauth):
# access key "test:tester", secret "testing", region us-east-1, path-style addressing.
# stop ends the processes listed in DIR/pids.
set -euo pipefail

PY=/usr/bin/python3 # Debian's interpreter: it is the one that has the swift modules
# Everything is on 127.0.0.1; skipping eventlet's DNS module saves start-up time in every process.
export EVENTLET_NO_GREENDNS=yes

stop() {
  local dir=$1 pid pids
  [ -f "$dir/pids" ] || return 0
  pids=$(cat "$dir/pids")
  for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
  # Wait up to 3 s. The servers are not this shell's children, so once dead they may linger
  # as zombies until init reaps them: those count as gone.
  for _ in $(seq 30); do
    local alive=0
    for pid in $pids; do ps -o stat= -p "$pid" | grep -qv Z && alive=1; done
    [ $alive -eq 0 ] && break
    sleep 0.1
  done
  for pid in $pids; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -f "$dir/pids"
}

fail() {
  echo "s3-test-server: $*" >&2
  tail -n 20 "$DIR"/*.log >&2 2>/dev/null || true
  stop "$DIR"
  exit 1
}

start() {
  DIR=$(cd "$1" && pwd)
  mkdir -p "$DIR/srv/d1"
  # Distinct free ports, held open together so that none is handed out twice.
  read -r P_PROXY P_ACCOUNT P_CONTAINER P_OBJECT < <("$PY" -c '
import socket
ss = [socket.socket() for _ in range(4)]
for s in ss: s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in ss))')

  cat > "$DIR/swift.conf" <<EOF
[swift-hash]
swift_hash_path_suffix = s3test-$RANDOM$RANDOM
swift_hash_path_prefix = s3test-$RANDOM$RANDOM
[storage-policy:0]
name = Policy-0
default = yes
EOF
  # workers = 0 keeps each server in one foreground process, so DIR/pids is all there is to stop.
  local common kind port
  common="swift_dir = $DIR
devices = $DIR/srv
mount_check = false
bind_ip = 127.0.0.1
workers = 0
user = $(id -un)"
  for kind in account container object; do
    port=P_${kind^^}
    cat > "$DIR/$kind-server.conf" <<EOF
[DEFAULT]
$common
bind_port = ${!port}
log_name = $kind
[pipeline:main]
pipeline = healthcheck $kind-server
[app:$kind-server]
use = egg:swift#$kind
[filter:healthcheck]
use = egg:swift#healthcheck
EOF
  done
  # tempauth insists on a cache even for S3 requests. It gets port 1, where nothing listens:
  # a real memcached, shared with other test servers, would mix up their account and
  # container data. Swift works on without one, logging the connection errors.
  cat > "$DIR/proxy-server.conf" <<EOF
[DEFAULT]
$common
bind_port = $P_PROXY
log_name = proxy
[pipeline:main]
pipeline = catch_errors gatekeeper healthcheck proxy-logging cache listing_formats s3api tempauth copy slo dlo proxy-logging proxy-server
[app:proxy-server]
use = egg:swift#proxy
account_autocreate = true
[filter:s3api]
use = egg:swift#s3api
location = us-east-1
[filter:tempauth]
use = egg:swift#tempauth
user_test_tester = testing .admin
[filter:cache]
use = egg:swift#memcache
memcache_servers = 127.0.0.1:1
[filter:proxy-logging]
use = egg:swift#proxy_logging
EOF
  for kind in catch_errors gatekeeper healthcheck listing_formats copy slo dlo; do
    printf '[filter:%s]\nuse = egg:swift#%s\n' "$kind" "$kind" >> "$DIR/proxy-server.conf"
  done

  # The servers' own scripts read /etc/swift/swift.conf; this runs them with DIR/swift.conf.
  # verbose logs to stderr, which goes to DIR/*.log (without a syslog socket Swift's
  # syslog handler just sends UDP datagrams nobody reads).
  local run='import sys
from swift.common import utils, storage_policy, constraints
utils.set_swift_dir(sys.argv[1])
storage_policy.reload_storage_policies()
constraints.reload_constraints()
from swift.common.wsgi import run_wsgi
sys.exit(run_wsgi(sys.argv[2], sys.argv[3], verbose=True))'
  launch() {
    "$PY" -c "$run" "$DIR" "$DIR/$1-server.conf" "$1-server" > "$DIR/$1.log" 2>&1 &
    echo $! >> "$DIR/pids"
  }
  : > "$DIR/pids"
  # Only the proxy reads the rings, so the other servers start while they are built.
  launch account; launch container; launch object

  # One ring per server kind: 16 partitions, 1 replica, one device. Built with the library
  # behind swift-ring-builder, in one process: nine swift-ring-builder runs take seconds.
  "$PY" -c '
import sys
from swift.common.ring import RingBuilder
for kind, port in zip(("account", "container", "object"), map(int, sys.argv[2:])):
    b = RingBuilder(4, 1, 0)
    b.add_dev({"region": 1, "zone": 1, "ip": "127.0.0.1", "port": port, "device": "d1", "weight": 1})
    b.rebalance()
    b.get_ring().save("%s/%s.ring.gz" % (sys.argv[1], kind))' "$DIR" "$P_ACCOUNT" "$P_CONTAINER" "$P_OBJECT" \
    > "$DIR/rings.log" 2>&1 || fail "building the rings failed"
  launch proxy

  local ok pid deadline=$((SECONDS + 20))
  while [ $SECONDS -lt $deadline ]; do
    ok=1
    for port in $P_PROXY $P_ACCOUNT $P_CONTAINER $P_OBJECT; do
      curl -fs -o /dev/null "http://127.0.0.1:$port/healthcheck" || { ok=0; break; }
    done
    [ $ok -eq 1 ] && { echo "http://127.0.0.1:$P_PROXY"; return 0; }
    while read -r pid; do kill -0 "$pid" 2>/dev/null || fail "a server exited"; done < "$DIR/pids"
    sleep 0.1
  done
  fail "the servers did not answer within 20 s"
}

case "${1:-}:${2:-}" in
  start:?*) start "$2" ;;
  stop:?*) stop "$2" ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
