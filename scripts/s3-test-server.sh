#!/usr/bin/env bash
# A throw-away S3 server for tests: a single-node Ceph cluster (one monitor, one
# in-memory OSD) with its S3 gateway, bound to 127.0.0.1 only, living entirely in DIR.
#
#   s3-test-server.sh start DIR   start it; writes DIR/s3-storage.json (endpoint, region,
#                                 keys, bucket) and prints how long the start took
#   s3-test-server.sh stop DIR    stop exactly the processes `start` recorded in DIR
#
# Needs the Debian packages radosgw, ceph-mon, ceph-osd, curl and python3. Every wait is bounded;
# a failed start stops what it had started and shows the end of the failing log.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop DIR" >&2
  exit 2
}
[ $# -eq 2 ] || usage
action=$1
dir=$2

# Objects live in the OSD's memory; this caps how much the tests may store.
memstore_bytes=${TARN_S3_MEMSTORE_BYTES:-2147483648}
region=us-east-1
bucket=tarn-test

pid_file() { echo "$dir/run/pids"; }

# True when pid is alive and still one of ours: its command line names our config file.
is_ours() {
  local pid=$1
  { tr "\\0" " " <"/proc/$pid/cmdline"; } 2>/dev/null | grep -F -- "$dir/ceph.conf" >/dev/null
}

# Sends SIGTERM, waits up to 10 s, then SIGKILL and up to 5 s more.
stop_process() {
  local pid=$1 i
  is_ours "$pid" || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    is_ours "$pid" || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  for ((i = 0; i < 50; i++)); do
    is_ours "$pid" || return 0
    sleep 0.1
  done
  echo "s3-test-server: process $pid did not exit" >&2
  return 1
}

# In reverse start order: the gateway and the OSD each say goodbye to the monitor and
# wait seconds for it when it is already gone.
stop_server() {
  local file name pid pids=() i failed=0
  file=$(pid_file)
  [ -f "$file" ] || return 0
  while read -r name pid; do pids+=("$pid"); done <"$file"
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    stop_process "${pids[$i]}" || failed=1
  done
  [ $failed -eq 0 ] || return 1
  rm -f "$file"
}

# Ports the kernel reports free right now on loopback.
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts a daemon in the foreground of a background job and records its pid.
launch() {
  local name=$1
  shift
  "$@" -c "$dir/ceph.conf" -f </dev/null >>"$dir/log/$name.out" 2>&1 &
  echo "$name $!" >>"$(pid_file)"
}

fail() {
  echo "s3-test-server: $1" >&2
  local log
  for log in "$dir"/log/*; do
    [ -s "$log" ] || continue
    echo "--- last lines of $log" >&2
    tail -n 15 "$log" >&2
  done
  stop_server || true
  exit 1
}

# Seconds between two $EPOCHREALTIME readings, to a tenth.
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

# Runs a cluster command with a time limit.
ceph_cmd() { timeout 20 "$@" -c "$dir/ceph.conf" --connect-timeout 10; }

# Polls `check` every 0.2 s for at most `seconds`; fails when a recorded daemon died.
wait_for() {
  local what=$1 seconds=$2
  shift 2
  local deadline=$((SECONDS + seconds)) name pid
  until "$@" >/dev/null 2>&1; do
    while read -r name pid; do
      is_ours "$pid" || fail "$name exited while waiting for $what"
    done <"$(pid_file)"
    [ $SECONDS -lt $deadline ] || fail "no $what after $seconds s"
    sleep 0.2
  done
}

# grep reads everything (no -q), so the writer never dies of SIGPIPE under pipefail.
osd_up() { ceph_cmd ceph osd dump 2>/dev/null | grep '^osd\.0 up' >/dev/null; }
gateway_answers() { curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$rgw_port/"; }

start_server() {
  for tool in ceph-mon ceph-osd radosgw radosgw-admin monmaptool ceph curl /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "s3-test-server: $tool is not installed (scripts/install-deps.sh installs it under CI=true or TARN_S3_SERVER=1)" >&2; exit 1; }
  done
  if [ -f "$(pid_file)" ]; then
    echo "s3-test-server: $dir already holds a server; stop it first" >&2
    exit 1
  fi
  local started=$EPOCHREALTIME
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  mkdir -p "$dir/run" "$dir/log" "$dir/mon" "$dir/osd" "$dir/rgw"
  : >"$(pid_file)"

  local fsid mon_port
  fsid=$(cat /proc/sys/kernel/random/uuid)
  mon_port=$(free_port)
  rgw_port=$(free_port)
  while [ "$rgw_port" = "$mon_port" ]; do rgw_port=$(free_port); done

  # Authentication is off inside the cluster only; the gateway still checks every S3
  # signature. The two "update on start" settings avoid a start race in which the
  # OSD's first command reaches the monitor with an empty cluster id and the OSD exits.
  cat >"$dir/ceph.conf" <<EOF
[global]
fsid = $fsid
mon host = [v1:127.0.0.1:$mon_port]
public addr = 127.0.0.1
cluster addr = 127.0.0.1
ms bind msgr2 = false
ms bind ipv6 = false
auth cluster required = none
auth service required = none
auth client required = none
osd pool default size = 1
osd pool default min size = 1
mon allow pool size one = true
osd pool default pg num = 8
osd pool default pgp num = 8
osd pool default pg autoscale mode = off
osd crush chooseleaf type = 0
mon data avail crit = 1
run dir = $dir/run
admin socket = $dir/run/\$name.asok
log file = $dir/log/\$name.log
mon data = $dir/mon/\$name
osd data = $dir/osd/\$name
[osd]
osd objectstore = memstore
memstore device bytes = $memstore_bytes
osd crush update on start = false
osd class update on start = false
[client]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port
rgw data = $dir/rgw/\$name
EOF

  monmaptool --create --addv a "[v1:127.0.0.1:$mon_port]" --fsid "$fsid" "$dir/monmap" >/dev/null ||
    fail "monmaptool failed"
  ceph-mon -c "$dir/ceph.conf" -i a --mkfs --monmap "$dir/monmap" >>"$dir/log/mon.out" 2>&1 ||
    fail "ceph-mon --mkfs failed"
  launch mon ceph-mon -i a
  local mon_started=$EPOCHREALTIME

  local osd_uuid osd_id
  osd_uuid=$(cat /proc/sys/kernel/random/uuid)
  osd_id=$(ceph_cmd ceph osd new "$osd_uuid" 2>>"$dir/log/setup.out") || fail "the monitor did not register the OSD"
  [ "$osd_id" = 0 ] || fail "unexpected OSD id '$osd_id'"
  ceph_cmd ceph osd crush add osd.0 1.0 root=default >>"$dir/log/setup.out" 2>&1 || fail "could not place the OSD"
  mkdir -p "$dir/osd/osd.0"
  ceph-osd -c "$dir/ceph.conf" -i 0 --mkfs --osd-uuid "$osd_uuid" >>"$dir/log/osd.out" 2>&1 ||
    fail "ceph-osd --mkfs failed"
  launch osd ceph-osd -i 0
  wait_for "OSD up" 60 osd_up
  local osd_started=$EPOCHREALTIME

  launch rgw radosgw -n client.rgw
  wait_for "S3 gateway on port $rgw_port" 90 gateway_answers
  local rgw_started=$EPOCHREALTIME

  # The gateway makes the keys, so the secret never appears on a command line.
  local user access_key secret_key
  user=$(timeout 60 radosgw-admin -c "$dir/ceph.conf" user create --uid tarn-test --display-name "Tarn tests" \
    2>>"$dir/log/setup.out") || fail "could not create the S3 user"
  access_key=$(sed -n 's/^ *"access_key": "\(.*\)",$/\1/p' <<<"$user")
  secret_key=$(sed -n 's/^ *"secret_key": "\(.*\)"$/\1/p' <<<"$user")
  [ -n "$access_key" ] && [ -n "$secret_key" ] || fail "no keys in radosgw-admin's answer"

  # The one bucket the tests use; the signing credentials go to curl on standard input.
  printf 'user = "%s:%s"\n' "$access_key" "$secret_key" |
    curl -sS -f -K - --max-time 30 --aws-sigv4 "aws:amz:$region:s3" -H "x-amz-content-sha256: UNSIGNED-PAYLOAD" \
      -X PUT "http://127.0.0.1:$rgw_port/$bucket" >>"$dir/log/setup.out" 2>&1 || fail "could not create bucket $bucket"

  (
    umask 077
    cat >"$dir/s3-storage.json.tmp" <<EOF
{
  "url": "s3://$bucket/",
  "endpoint": "http://127.0.0.1:$rgw_port",
  "region": "$region",
  "access_key": "$access_key",
  "secret_key": "$secret_key"
}
EOF
    mv "$dir/s3-storage.json.tmp" "$dir/s3-storage.json"
  )
  echo "S3 test server at http://127.0.0.1:$rgw_port (bucket $bucket) started in $(seconds "$started" "$EPOCHREALTIME") s" \
    "(monitor $(seconds "$started" "$mon_started"), OSD $(seconds "$mon_started" "$osd_started")," \
    "gateway $(seconds "$osd_started" "$rgw_started"), user and bucket $(seconds "$rgw_started" "$EPOCHREALTIME"));" \
    "settings in $dir/s3-storage.json"
}

case $action in
  start) start_server ;;
  stop)
    [ -d "$dir" ] || exit 0
    dir=$(cd "$dir" && pwd)
    stopped=$EPOCHREALTIME
    stop_server
    echo "S3 test server in $dir stopped in $(seconds "$stopped" "$EPOCHREALTIME") s"
    ;;
  *) usage ;;
esac
