#!/usr/bin/env bash
# Checks the Debian package under a booted systemd: four minimal Debian roots
# (mmdebstrap, cached in BUILD_DIR/booted/ by their package list) boot with
# systemd-nspawn, each in a network namespace of its own joined by a veth pair
# to a bridge in a fifth; the machine's own namespace is never touched. The
# package is installed with dpkg in each, the service is enabled and started
# as an operator would (in the last two with a room key), and the checks read
# systemd, the journal and the status endpoint from inside the containers
# (nsenter on their PID 1).
#   tests/operator/booted_checks.sh BUILD_DIR
# BUILD_DIR holds the package that package_checks.sh built. Prints one
# "ok - ..." or "not ok - ..." line per check; needs root. Every wait is
# bounded; containers, namespaces and roots are removed on exit.
set -uo pipefail

build_dir=$(cd "$1" && pwd)
export LC_ALL=C.UTF-8
version=$(sed -n 's/^inline constexpr std::string_view PIM_NODE_VERSION = "\(.*\)";$/\1/p' \
  "$build_dir/generated/version.h" 2>/dev/null)
deb=$build_dir/pim-node_${version}-1_$(dpkg --print-architecture).deb
if [ -z "$version" ] || [ ! -f "$deb" ]; then
  echo "not ok - the package to boot exists: ${deb}"
  exit 1
fi

# Containers 0 to 3: their host names and addresses, the room all join, and
# the packages their root holds besides the minimal system. Containers 2 and
# 3 get a room key; 0 and 1 run without one.
tag=pimt-boot-$$
hosts=(pim-a pim-b pim-c pim-d)
addresses=(10.213.9.11 10.213.9.12 10.213.9.13 10.213.9.14)
room='boot lab'
packages=systemd,systemd-sysv,dbus

work=$(mktemp -d /tmp/pim-booted.XXXXXX)
nspawn_pids=()
leader_pids=()
namespaces=()

cleanup() {
  local ns pid alive deadline=$((SECONDS + 10))
  # A signal now must not cut the cleanup short.
  trap '' TERM INT HUP
  # A power-off request first; whatever still runs after 10 s is killed.
  for pid in "${nspawn_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  while [ "$SECONDS" -lt "$deadline" ]; do
    alive=0
    for pid in "${nspawn_pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ "$alive" -eq 1 ] || break
    sleep 0.2
  done
  for pid in "${leader_pids[@]}" "${nspawn_pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  for pid in "${nspawn_pids[@]}"; do wait "$pid" 2>/dev/null; done
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  # The containers' mounts live in their own mount namespaces and go with
  # them; a mount still seen here is undone before the roots are deleted.
  if grep -q " $work/" /proc/self/mountinfo; then
    umount -R -l "$work"/root-* 2>/dev/null
  fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

# shellcheck source=tests/operator/check_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/check_lib.sh"

# wait_for SECONDS COMMAND...: runs the command every 0.2 s until it succeeds;
# fails with its last output when the time is up.
wait_for() {
  local deadline=$((SECONDS + $1)) output
  shift
  while true; do
    output=$("$@" 2>&1) && { printf '%s' "$output"; return 0; }
    [ "$SECONDS" -lt "$deadline" ] || { printf '%s' "$output"; return 1; }
    sleep 0.2
  done
}

# in_container INDEX COMMAND...: runs the command in every namespace of
# container INDEX, with a clean environment and a 30 s limit.
in_container() {
  local index=$1
  shift
  timeout 30 nsenter -t "${leader_pids[$index]}" -a \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"
}

unit_property() { in_container "$1" systemctl show -P "$2" pim-node.service; }

# --- the root, cached by its package list ----------------------------------

# The machine's own Debian sources when it has the usual file, else
# mmdebstrap's default mirrors; the key covers them and the package list.
cache=$build_dir/booted
sources=()
[ -f /etc/apt/sources.list.d/debian.sources ] && sources=(/etc/apt/sources.list.d/debian.sources)
key=$( { printf 'bookworm minbase %s\n' "$packages"; cat "${sources[@]}" </dev/null; } |
  sha256sum | cut -c1-16)
root_tar=$cache/root-$key.tar
if [ ! -f "$root_tar" ]; then
  mkdir -p "$cache"
  rm -f "$cache"/*.tar
  # mmdebstrap writes a tarball when the name ends in .tar.
  if ! timeout 240 mmdebstrap --variant=minbase --include="$packages" bookworm \
    "$cache/partial-$key.tar" "${sources[@]}" >"$cache/mmdebstrap.log" 2>&1; then
    echo "not ok - mmdebstrap builds a minimal root: $(tail -n 5 "$cache/mmdebstrap.log" | tr '\n' ' ')"
    rm -f "$cache/partial-$key.tar"
    exit 1
  fi
  mv "$cache/partial-$key.tar" "$root_tar"
fi

# --- four booted containers on a bridge ------------------------------------

setup_network() {
  local i ns veth bridge=$tag-br
  ip netns add "$bridge" || return 1
  namespaces+=("$bridge")
  ip -n "$bridge" link add br0 type bridge && ip -n "$bridge" link set br0 up || return 1
  for i in "${!hosts[@]}"; do
    ns=$tag-$i
    veth=veth$i
    ip netns add "$ns" || return 1
    namespaces+=("$ns")
    # Both ends are created inside the test's namespaces, never in the
    # machine's own.
    ip -n "$ns" link add eth0 type veth peer name "$veth" netns "$bridge" &&
      ip -n "$bridge" link set "$veth" master br0 up &&
      ip -n "$ns" addr add "${addresses[$i]}/24" dev eth0 &&
      ip -n "$ns" link set eth0 up && ip -n "$ns" link set lo up &&
      ip -n "$ns" route add default dev eth0 || return 1
  done
}

boot() {
  local i root child
  for i in "${!hosts[@]}"; do
    root=$work/root-$i
    mkdir -p "$root"
    tar -C "$root" -xf "$root_tar" || return 1
    echo "${hosts[$i]}" >"$root/etc/hostname"
    cp "$deb" "$root/root/pim-node.deb"
    systemd-nspawn --boot --register=no --keep-unit --console=read-only \
      --machine="$tag-$i" --network-namespace-path="/run/netns/$tag-$i" -D "$root" \
      </dev/null >"$work/boot-$i.log" 2>&1 &
    nspawn_pids[$i]=$!
  done
  # The container's PID 1 is the nspawn process's one child.
  for i in "${!hosts[@]}"; do
    child=$(wait_for 30 bash -c 'c=$(cat /proc/$1/task/$1/children 2>/dev/null) &&
      [ -n "$c" ] && [ "$(cat /proc/${c%% *}/comm)" == systemd ] && echo "${c%% *}"' \
      bash "${nspawn_pids[$i]}") || { echo "container $i did not start: $(tail -n 3 "$work/boot-$i.log")"; return 1; }
    leader_pids[$i]=$child
  done
  for i in "${!hosts[@]}"; do
    wait_for 90 booted "$i" >/dev/null ||
      { echo "container $i: $(in_container "$i" systemctl is-system-running 2>&1)"; return 1; }
  done
}
# A unit of the minimal system that failed (the state "degraded") does not
# concern the node; the boot has finished either way.
booted() {
  local state
  state=$(in_container "$1" systemctl is-system-running --wait 2>/dev/null)
  [ "$state" == running ] || [ "$state" == degraded ]
}

# Run in this shell, not a subshell, so that cleanup knows every PID and
# namespace.
if ! setup_network >"$work/setup.log" 2>&1 || ! boot >>"$work/setup.log" 2>&1; then
  echo "not ok - four minimal Debian roots boot under systemd-nspawn: $(tail -n 5 "$work/setup.log" | tr '\n' ' ')"
  exit 1
fi
echo "ok - four minimal Debian roots boot under systemd-nspawn, each in a namespace of its own"

# --- install and start -----------------------------------------------------

installs_and_starts_nothing() {
  local i
  for i in "${!hosts[@]}"; do
    in_container "$i" dpkg -i /root/pim-node.deb >"$work/dpkg-i-$i.log" 2>&1 ||
      { tail -n 5 "$work/dpkg-i-$i.log"; return 1; }
    same_text "disabled inactive" \
      "$(in_container "$i" systemctl is-enabled pim-node.service) $(unit_property "$i" ActiveState)" ||
      return 1
  done
}
check "dpkg -i under a running systemd installs the service and starts nothing" \
  installs_and_starts_nothing

# The operator's settings: a room with a space (quoted, as the settings file
# says), and on container 0 the machine's own memory figure; container 1
# keeps the default figure.
printf 'PIM_NODE_ROOM="%s"\nPIM_NODE_RAM=auto\n' "$room" >>"$work/root-0/etc/default/pim-node"
printf 'PIM_NODE_ROOM="%s"\n' "$room" >>"$work/root-1/etc/default/pim-node"

is_running() {
  [ "$(unit_property "$1" ActiveState)" == active ] && [ "$(unit_property "$1" MainPID)" -gt 0 ]
}
enable_and_start() {
  local i
  for i in 0 1; do
    in_container "$i" systemctl enable --now pim-node.service >/dev/null 2>&1 || return 1
    wait_for 20 is_running "$i" || { echo "container $i: not running"; return 1; }
  done
}

# The dynamic users systemd allocates are 61184 to 65519.
runs_as_dynamic_user() {
  local pid uids uid uid_list
  enable_and_start || return 1
  pid=$(unit_property 0 MainPID)
  uids=$(in_container 0 awk '/^Uid:/ { print $2, $3, $4, $5 }' "/proc/$pid/status")
  echo "uids $uids"
  read -r -a uid_list <<<"$uids"
  [ ${#uid_list[@]} -eq 4 ] || return 1
  for uid in "${uid_list[@]}"; do
    [ "$uid" -ge 61184 ] && [ "$uid" -le 65519 ] || return 1
  done
}
check "systemctl enable --now: the service is active and runs as a dynamic user, not root" \
  runs_as_dynamic_user

passes_settings_on() {
  local pid argv
  pid=$(unit_property 0 MainPID)
  argv=$(in_container 0 cat "/proc/$pid/cmdline" | tr '\0' '|')
  same_text "/usr/bin/pim-node|--room|$room|--node-count|1|--ram|auto|--log-peers|" "$argv"
}
check "the unit passes the settings on as arguments" passes_settings_on

journal() { in_container "$1" journalctl -u pim-node.service -o cat --no-pager; }
start_line_prefix="[pim-node] Starting — room=$room node_count=1 host=${hosts[0]} ram="

journal_has() { journal "$1" | grep -qF -- "$2"; }
# Every argument the unit passes is one the node takes, in both containers.
journal_has_start_line() {
  local i
  wait_for 10 journal_has 0 "$start_line_prefix" || { journal 0 | tail -n 5; return 1; }
  for i in 0 1; do
    ! journal_has "$i" "[pim-node] ignored" || { journal "$i" | grep -F ignored; return 1; }
  done
}
check "the journal holds the start line with the configured room and no ignored argument" \
  journal_has_start_line

# MemTotal in kibibytes over 1024², with one decimal, as the start line
# writes it.
start_line_shows_memtotal() {
  local expected
  expected=$(in_container 0 awk '/^MemTotal:/ { printf "%.1f", $2 / 1048576 }' /proc/meminfo)
  [ -n "$expected" ] || return 1
  grep -F -x -- "${start_line_prefix}${expected}GB" <<<"$(journal 0)" ||
    { echo "no start line with ram=${expected}GB: $(journal 0 | grep -F 'Starting')"; return 1; }
}
check "with PIM_NODE_RAM=auto the start line shows the container's MemTotal" start_line_shows_memtotal

# status INDEX: the status endpoint's answer inside container INDEX.
status() {
  in_container "$1" bash -c 'exec 3<>/dev/tcp/127.0.0.1/47833 || exit 1
    printf "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" >&3
    timeout 5 cat <&3'
}
status_answers() {
  local answer
  answer=$(wait_for 10 status 0) || { echo "no answer"; return 1; }
  [[ "$answer" == "HTTP/1.1 200 OK"$'\r\n'* ]] || { echo "$answer"; return 1; }
  [[ "$answer" == *$'\r\n\r\n{"self":{"host":"'"${hosts[0]}"'","ram":'* ]] || { echo "$answer"; return 1; }
}
check "the status endpoint answers inside the container" status_answers

lists_peer() { status "$1" | grep -qF "{\"host\":\"$2\","; }
each_sees_the_other() {
  wait_for 20 lists_peer 0 "${hosts[1]}" || { echo "${hosts[0]}: $(status 0 | tail -n 1)"; return 1; }
  wait_for 20 lists_peer 1 "${hosts[0]}" || { echo "${hosts[1]}: $(status 1 | tail -n 1)"; return 1; }
}
check "two containers on a bridge list each other's host in their documents" each_sees_the_other

logs_peer_joined() {
  local line="[pim-node] peer joined: ${addresses[1]} ${hosts[1]}"
  wait_for 10 journal_has 0 "$line" || { echo "no [$line] in: $(journal 0 | tail -n 3)"; return 1; }
}
check "with PIM_NODE_LOG_PEERS on, the journal records the other container joining" logs_peer_joined

exposure_in_container() {
  local output level
  output=$(in_container 0 systemd-analyze security --no-pager pim-node.service 2>&1)
  level=$(sed -n 's/.*Overall exposure level for pim-node.service: \([0-9.]*\).*/\1/p' <<<"$output")
  echo "exposure ${level:-unknown}"
  [ -n "$level" ] && awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }'
}
exposure=$(exposure_in_container 2>&1)
exposure_status=$?
echo "# systemd-analyze security in the container: $exposure"
check "systemd-analyze security pim-node inside the container scores 2.0 or lower" \
  bash -c 'echo "$1"; exit "$2"' bash "$exposure" "$exposure_status"

restarts_after_kill() {
  local old
  old=$(unit_property 0 MainPID)
  # The minimal root has no kill program; bash's own kill does it.
  in_container 0 bash -c 'kill -KILL "$1"' bash "$old" || return 1
  # Restart=on-failure, RestartSec=5s.
  wait_for 20 restarted_from "$old" || { echo "no new main process after $old"; return 1; }
  same_text 1 "$(unit_property 0 NRestarts)"
}
restarted_from() {
  local pid
  [ "$(unit_property 0 ActiveState)" == active ] || return 1
  pid=$(unit_property 0 MainPID)
  [ "$pid" -gt 0 ] && [ "$pid" != "$1" ]
}
check "kill -9 of the node is followed by a restart with a new main process" restarts_after_kill

node_processes() {
  in_container "$1" bash -c 'for c in /proc/[0-9]*/comm; do
    [ "$(cat "$c" 2>/dev/null)" == pim-node ] && echo "${c%/comm}"; done; true'
}
stops() {
  in_container 0 systemctl stop pim-node.service || return 1
  same_text "inactive 0" "$(unit_property 0 ActiveState) $(unit_property 0 MainPID)" || return 1
  same_text "" "$(node_processes 0)"
}
check "systemctl stop stops it and leaves no node process" stops

purges_running_service() {
  in_container 0 systemctl start pim-node.service || return 1
  wait_for 20 is_running 0 >/dev/null || { echo "not running again"; return 1; }
  in_container 0 dpkg -P pim-node >"$work/dpkg-P.log" 2>&1 || { tail -n 5 "$work/dpkg-P.log"; return 1; }
  same_text "" "$(node_processes 0)" || return 1
  same_text "not-found inactive" "$(unit_property 0 LoadState) $(unit_property 0 ActiveState)" || return 1
  local left
  left=$(in_container 0 bash -c 'ls -d /usr/lib/systemd/system/pim-node.service \
    /etc/systemd/system/*/pim-node.service /etc/default/pim-node /usr/bin/pim-node 2>/dev/null; true')
  same_text "" "$left"
}
check "dpkg -P stops the running service and removes it, unit and enable link included" \
  purges_running_service

# --- the room key ----------------------------------------------------------

# Containers 2 and 3 share one key, made as the node's --generate-key makes
# one: 32 bytes of the system's random source in hexadecimal. The file is
# root's, mode 0600, and the settings name it; container 3 also turns on the
# metrics. Container 1 still runs without a key in the same room.
room_key=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
credential=/run/credentials/pim-node.service/room.key
for i in 2 3; do
  install -D -m 0600 -o root -g root /dev/stdin "$work/root-$i/etc/pim-node/room.key" <<<"$room_key"
  printf 'PIM_NODE_ROOM="%s"\nPIM_NODE_KEY_FILE=/etc/pim-node/room.key\n' "$room" \
    >>"$work/root-$i/etc/default/pim-node"
done
echo PIM_NODE_METRICS=--metrics >>"$work/root-3/etc/default/pim-node"

# The generator last ran when dpkg installed the package, before the key was
# set.
refuses_key_before_reload() {
  local line="PIM_NODE_KEY_FILE=/etc/pim-node/room.key is not the key file systemd loads (none)"
  ! in_container 2 systemctl start pim-node.service >/dev/null 2>&1 || { echo "it started"; return 1; }
  same_text 0 "$(unit_property 2 MainPID)" || return 1
  wait_for 10 journal_has 2 "$line" || { echo "no [$line] in: $(journal 2 | tail -n 3)"; return 1; }
  in_container 2 systemctl stop pim-node.service
}
check "a key file set without systemctl daemon-reload keeps the service from starting, saying why" \
  refuses_key_before_reload

enable_keyed() {
  local i
  for i in 2 3; do
    in_container "$i" systemctl daemon-reload || return 1
    in_container "$i" systemctl enable --now pim-node.service >/dev/null 2>&1 ||
      { echo "container $i: $(journal "$i" | tail -n 3)"; return 1; }
    wait_for 20 is_running "$i" || { echo "container $i: not running"; return 1; }
  done
}
passes_credential_on() {
  local i pid metrics=("" "--metrics|")
  enable_keyed || return 1
  for i in 2 3; do
    pid=$(unit_property "$i" MainPID)
    same_text "/usr/bin/pim-node|--room|$room|--node-count|1|--ram|8.0|--log-peers|${metrics[i - 2]}--key-file|$credential|" \
      "$(in_container "$i" cat "/proc/$pid/cmdline" | tr '\0' '|')" || return 1
  done
}
check "after daemon-reload the unit loads the key as a credential and passes its path as --key-file, and --metrics when set" \
  passes_credential_on

# Read in the node's own namespaces, as its user: the credential is that
# user's alone and holds the key; the key file stays root's.
only_the_credential_is_readable() {
  local pid ids uid gid
  pid=$(unit_property 2 MainPID)
  ids=$(in_container 2 awk '/^Uid:/ { u = $2 } /^Gid:/ { g = $2 } END { print u, g }' \
    "/proc/$pid/status")
  read -r uid gid <<<"$ids"
  same_text "$uid 400" "$(in_container 2 stat -c '%u %a' "$credential")" || return 1
  same_text "root 600" "$(in_container 2 stat -c '%U %a' /etc/pim-node/room.key)" || return 1
  same_text "$room_key" \
    "$(in_container 2 nsenter -t "$pid" -m -U -S "$uid" -G "$gid" cat "$credential")" || return 1
  ! in_container 2 nsenter -t "$pid" -m -U -S "$uid" -G "$gid" cat /etc/pim-node/room.key ||
    { echo "the node's user reads the key file"; return 1; }
}
check "the node's dynamic user reads the credential (mode 0400, its own), not the key file" \
  only_the_credential_is_readable

keyed_see_each_other() {
  wait_for 20 lists_peer 2 "${hosts[3]}" || { echo "${hosts[2]}: $(status 2 | tail -n 1)"; return 1; }
  wait_for 20 lists_peer 3 "${hosts[2]}" || { echo "${hosts[3]}: $(status 3 | tail -n 1)"; return 1; }
}
check "two containers with the same key list each other" keyed_see_each_other

# Container 1 announces every 3 s; once the keyed nodes have run for 7 s
# each has had two chances to record it, and a recorded peer stays listed
# for 12 s.
never_lists() {
  local index=$1 host=$2 deadline=$((SECONDS + $3))
  while [ "$SECONDS" -lt "$deadline" ]; do
    ! lists_peer "$index" "$host" || return 1
    sleep 0.5
  done
}
unkeyed_is_shut_out() {
  local i
  for i in 2 3; do
    wait_for 20 lists_peer 1 "${hosts[$i]}" || { echo "${hosts[1]}: $(status 1 | tail -n 1)"; return 1; }
  done
  for i in 2 3; do
    never_lists "$i" "${hosts[1]}" 7 || {
      echo "${hosts[$i]} lists ${hosts[1]}: $(status "$i" | tail -n 1)"
      journal "$i" | grep -F 'ignored argument' | head -n 2
      return 1
    }
  done
}
check "a node without the key lists both keyed nodes, and neither keyed node lists it" \
  unkeyed_is_shut_out
