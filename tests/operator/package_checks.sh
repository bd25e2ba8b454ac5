#!/usr/bin/env bash
# Checks what an operator installs: `cmake --install` (DESTDIR and --prefix),
# the systemd unit, the manual page, the dashboard's script hash, and the
# Debian package built by cpack: its control data, its lintian report, and
# the package installed into a scratch dpkg root. The installed program runs
# only inside private network namespaces.
#   tests/operator/package_checks.sh SOURCE_DIR BUILD_DIR
# BUILD_DIR must be built with CMAKE_INSTALL_PREFIX=/usr. Prints one
# "ok - ..." or "not ok - ..." line per check; needs root.
set -uo pipefail

source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
# The package's upstream version is the program's, as the build generated it.
version=$(sed -n 's/^inline constexpr std::string_view PIM_NODE_VERSION = "\(.*\)";$/\1/p' \
  "$build_dir/generated/version.h" 2>/dev/null)
if [ -z "$version" ]; then
  echo "not ok - the build names the node's version in $build_dir/generated/version.h"
  exit 1
fi
deb_version=$version-1
arch=$(dpkg --print-architecture)
scratch=$(mktemp -d /tmp/pim-operator.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
export LC_ALL=C.UTF-8

# shellcheck source=tests/operator/check_lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/check_lib.sh"

files_under() { (cd "$1" && find . -type f | LC_ALL=C sort | tr '\n' ' '); }

# --- cmake --install --------------------------------------------------------

destdir=$scratch/destdir
prefix=$scratch/prefix
DESTDIR=$destdir cmake --install "$build_dir" >"$scratch/install.log" 2>&1
cmake --install "$build_dir" --prefix "$prefix" >>"$scratch/install.log" 2>&1

check "DESTDIR install under /usr lays out program, unit, generator, settings, manual, dashboard" \
  same_text "./etc/default/pim-node ./usr/bin/pim-node ./usr/lib/systemd/system-generators/pim-node-generator ./usr/lib/systemd/system/pim-node.service ./usr/share/man/man8/pim-node.8.gz ./usr/share/pim-node/dashboard.html " \
  "$(files_under "$destdir")"

check "under /usr the unit and the generator are installed as written, the generator executable" \
  bash -c 'cmp "$1/dist/pim-node.service" "$2/usr/lib/systemd/system/pim-node.service" &&
    cmp "$1/dist/pim-node-generator" "$2/usr/lib/systemd/system-generators/pim-node-generator" &&
    test -x "$2/usr/lib/systemd/system-generators/pim-node-generator"' bash "$source_dir" "$destdir"

check "--prefix install puts everything under the prefix" \
  same_text "./bin/pim-node ./etc/default/pim-node ./lib/systemd/system-generators/pim-node-generator ./lib/systemd/system/pim-node.service ./share/man/man8/pim-node.8.gz ./share/pim-node/dashboard.html " \
  "$(files_under "$prefix")"

check "--prefix install points the unit and the generator at the prefix" \
  same_text "EnvironmentFile=-$prefix/etc/default/pim-node
ExecStart=$prefix/bin/pim-node --room \${PIM_NODE_ROOM} --node-count \${PIM_NODE_COUNT} --ram \${PIM_NODE_RAM} \$PIM_NODE_LOG_PEERS \$PIM_NODE_METRICS \$PIM_NODE_KEY_ARGS
settings=$prefix/etc/default/pim-node" \
  "$(grep -E '^(ExecStart|EnvironmentFile)=' "$prefix/lib/systemd/system/pim-node.service"
    grep -E '^settings=' "$prefix/lib/systemd/system-generators/pim-node-generator")"

check "installed settings file turns on the peer log and shows the other defaults" \
  same_text "#PIM_NODE_ROOM=MORUN-DEFAULT
#PIM_NODE_COUNT=1
#PIM_NODE_RAM=8.0
PIM_NODE_LOG_PEERS=--log-peers
#PIM_NODE_METRICS=--metrics
#PIM_NODE_KEY_FILE=/etc/pim-node/room.key" "$(grep -v -E '^(#( .*)?)?$' "$destdir/etc/default/pim-node")"

# --- systemd unit -----------------------------------------------------------

# verify checks that ExecStart's program exists and that `man` finds the page
# named in Documentation=, so it runs on the --prefix copy with its MANPATH.
verify_unit() {
  local output
  output=$(MANPATH=$prefix/share/man systemd-analyze verify \
    "$prefix/lib/systemd/system/pim-node.service" 2>&1) || { echo "$output"; return 1; }
  [ -z "$output" ] || { echo "$output"; return 1; }
}
check "systemd-analyze verify passes on the installed unit" verify_unit

unit_has_settings() {
  local unit=$destdir/usr/lib/systemd/system/pim-node.service missing=() line
  for line in After=network-online.target Wants=network-online.target \
    EnvironmentFile=-/etc/default/pim-node Restart=on-failure DynamicUser=yes \
    NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
    PrivateDevices=yes CapabilityBoundingSet= AmbientCapabilities= \
    "RestrictAddressFamilies=AF_INET AF_UNIX" SystemCallFilter=@system-service \
    MemoryMax=64M ProtectProc=invisible; do
    grep -qxF -- "$line" "$unit" || missing+=("$line")
  done
  # ProcSubset=pid would hide /proc/meminfo, which --ram auto reads.
  ! grep -q '^ProcSubset=' "$unit" || missing+=("no ProcSubset=")
  grep -qE '^Environment=PATH=([^ ]*:)?/usr/bin(:[^ ]*)?$' "$unit" || missing+=("PATH with /usr/bin")
  [ ${#missing[@]} -eq 0 ] || { echo "missing: ${missing[*]}"; return 1; }
}
check "unit starts after the network and carries the hardening settings" unit_has_settings

exposure_is_low() {
  local output level
  output=$(systemd-analyze security --offline=yes --no-pager \
    "$prefix/lib/systemd/system/pim-node.service" 2>&1)
  level=$(printf '%s\n' "$output" | sed -n 's/.*Overall exposure level for pim-node.service: \([0-9.]*\).*/\1/p')
  echo "exposure ${level:-unknown}"
  [ -n "$level" ] && awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }'
}
check "systemd-analyze security rates the unit's exposure 2.0 or lower" exposure_is_low

# --- manual page ------------------------------------------------------------

groff_is_silent() {
  local output
  output=$(groff -ww -z -mdoc "$source_dir/man/pim-node.8" 2>&1) || { echo "$output"; return 1; }
  [ -z "$output" ] || { echo "$output"; return 1; }
}
check "groff -ww -z -mdoc reports no warning" groff_is_silent

rendered=$scratch/man.txt
man_renders() {
  MANWIDTH=200 man --warnings -l "$destdir/usr/share/man/man8/pim-node.8.gz" \
    >"$rendered" 2>"$scratch/man.err" || { cat "$scratch/man.err"; return 1; }
  [ ! -s "$scratch/man.err" ] || { cat "$scratch/man.err"; return 1; }
  local missing=() heading
  for heading in NAME SYNOPSIS DESCRIPTION SERVICE ENVIRONMENT FILES "EXIT STATUS" \
    DIAGNOSTICS EXAMPLES "SEE ALSO"; do
    grep -qx "$heading" "$rendered" || missing+=("$heading")
  done
  [ ${#missing[@]} -eq 0 ] || { echo "missing sections: ${missing[*]}"; return 1; }
  grep -qF 'pim-node [--room room] [--node-count count]' "$rendered" || { echo "no synopsis"; return 1; }
}
check "man -l renders the installed page without warnings, with every section" man_renders

# The examples the manual gives, worked out by hand for a node called alpha.
start_line='[pim-node] Starting — room=MORUN-DEFAULT node_count=1 host=alpha ram=8.0GB'
empty_body='{"self":{"host":"alpha","ram":8.0},"peers":[],"total_ram":8.0}'
headers=$'HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 116\r\nAccess-Control-Allow-Origin: *\r\n\r\n'
two_peers_a='{"self":{"host":"alpha","ram":8.0},"peers":[{"host":"beta","ram":8.0},{"host":"gamma","ram":16.0}],"total_ram":32.0}'
two_peers_b='{"self":{"host":"alpha","ram":8.0},"peers":[{"host":"gamma","ram":16.0},{"host":"beta","ram":8.0}],"total_ram":32.0}'

manual_shows_examples() {
  local missing=() text
  for text in "‘$start_line’" "$empty_body" "Content-Length: 116" \
    '{"self":{"host":"alpha","ram":8.0},"peers":[{"host":"beta",' \
    '"ram":8.0},{"host":"gamma","ram":16.0}],"total_ram":32.0}' \
    '$ curl -s http://127.0.0.1:47833/'; do
    grep -qF -- "$text" "$rendered" || missing+=("$text")
  done
  [ ${#missing[@]} -eq 0 ] || { echo "not in the manual: ${missing[*]}"; return 1; }
}
check "manual shows the start line, the curl query and the documents" manual_shows_examples

# --- dashboard --------------------------------------------------------------

script_hash_matches() {
  node --input-type=module -e '
    import fs from "node:fs";
    import crypto from "node:crypto";
    const page = fs.readFileSync(process.argv[1], "utf8");
    const script = page.match(/<script>([\s\S]*?)<\/script>/)[1];
    const hash = crypto.createHash("sha256").update(script, "utf8").digest("base64");
    const named = page.match(/script-src '"'"'sha256-([^'"'"']*)'"'"'/);
    if (!named || named[1] !== hash) {
      console.log("the page names " + (named ? named[1] : "no hash") + "; its script hashes to " + hash);
      process.exit(1);
    }' "$source_dir/web/dashboard.html"
}
check "dashboard's content security policy names its script's hash" script_hash_matches

# --- Debian package ---------------------------------------------------------

deb=$build_dir/pim-node_${deb_version}_${arch}.deb
rm -f "$build_dir"/pim-node_*.deb
check "cpack -G DEB builds pim-node_${deb_version}_${arch}.deb" \
  bash -c 'cd "$1" && cpack -G DEB >"$2/cpack.log" 2>&1 || { tail -n 20 "$2/cpack.log"; exit 1; }; test -f "$3"' \
  bash "$build_dir" "$scratch" "$deb"

control_is_right() {
  local field expected actual bad=()
  while IFS='=' read -r field expected; do
    actual=$(dpkg-deb -f "$deb" "$field")
    [ "$actual" == "$expected" ] || bad+=("$field=[$actual]")
  done <<EOF
Package=pim-node
Version=$deb_version
Architecture=$arch
Section=net
Priority=optional
Maintainer=pim-node developers <maintainers@pim-node.dev>
EOF
  # shlibdeps adds the C and C++ runtimes when the program is linked against
  # them; the usual build links it statically and needs nothing. The hostname
  # command it runs comes from an Essential package, never named.
  local depends description
  depends=$(dpkg-deb -f "$deb" Depends)
  if readelf -d "$build_dir/pim-node" | grep -q NEEDED; then
    [[ ", $depends" == *", libc6 (>= "* ]] || bad+=("Depends lacks libc6: [$depends]")
  else
    [ -z "$depends" ] || bad+=("Depends of a static program: [$depends]")
  fi
  [[ ", $depends" != *", hostname"* ]] || bad+=("Depends names hostname: [$depends]")
  [ "$(dpkg-query -W -f='${Essential}' hostname)" == yes ] || bad+=("hostname is not Essential here")
  description=$(dpkg-deb -f "$deb" Description)
  [ "$(head -n 1 <<<"$description")" == "local-network mesh agent that announces this machine and lists its peers" ] ||
    bad+=("Description synopsis")
  [ "$(wc -l <<<"$description")" -ge 5 ] || bad+=("Description has no long text")
  [ "$(dpkg-deb -I "$deb" conffiles)" == "/etc/default/pim-node" ] || bad+=("conffiles")
  local script
  for script in postinst prerm postrm; do
    [ "$(dpkg-deb -I "$deb" "$script")" == "$(cat "$source_dir/dist/$script")" ] || bad+=("$script")
  done
  [ ${#bad[@]} -eq 0 ] || { echo "${bad[*]}"; return 1; }
}
check "dpkg-deb --info: name, version, section, maintainer, dependencies, description, conffile, scripts" \
  control_is_right

check "dpkg-deb --contents: the eight files, owned by root" same_text \
  "-rw-r--r-- root/root ./etc/default/pim-node
-rwxr-xr-x root/root ./usr/bin/pim-node
-rwxr-xr-x root/root ./usr/lib/systemd/system-generators/pim-node-generator
-rw-r--r-- root/root ./usr/lib/systemd/system/pim-node.service
-rw-r--r-- root/root ./usr/share/doc/pim-node/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/pim-node/copyright
-rw-r--r-- root/root ./usr/share/man/man8/pim-node.8.gz
-rw-r--r-- root/root ./usr/share/pim-node/dashboard.html" \
  "$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | LC_ALL=C sort -k3)"

unpacked=$scratch/unpacked
dpkg-deb -x "$deb" "$unpacked" 2>/dev/null
doc=$unpacked/usr/share/doc/pim-node

# The copyright file's licence paragraph is the repository's LICENSE from the
# permission grant on, indented one space, with "." for an empty line.
copyright_is_machine_readable() {
  local bad=() license_text
  [ "$(head -n 1 "$doc/copyright")" == \
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
    bad+=("no Format line")
  grep -qx 'Files: \*' "$doc/copyright" || bad+=("no Files: * paragraph")
  grep -qx 'Copyright: 2026 The pim-node developers' "$doc/copyright" || bad+=("Copyright field")
  grep -qx 'Copyright (c) 2026 The pim-node developers' "$source_dir/LICENSE" || bad+=("LICENSE notice")
  license_text=$(sed -n '/^Permission is hereby granted/,$p' "$source_dir/LICENSE" |
    sed 's/^$/./; s/^/ /')
  [ -n "$license_text" ] || bad+=("LICENSE has no MIT grant")
  [ "$(sed -n '/^License: Expat$/,$p' "$doc/copyright" | tail -n +2 | fmt -w 200)" == \
    "$(fmt -w 200 <<<"$license_text")" ] || bad+=("licence text differs from LICENSE")
  [ ${#bad[@]} -eq 0 ] || { echo "${bad[*]}"; return 1; }
}
check "copyright file is machine-readable and carries the LICENSE text" copyright_is_machine_readable

# gzip -9n: neither a file name nor a time stamp in the header (flags 0,
# time 0), maximum compression (extra flags 2).
changelog_is_current() {
  local header top
  header=$(od -An -tx1 -j3 -N6 "$doc/changelog.Debian.gz" | tr -d ' \n')
  [ "$header" == 000000000002 ] || { echo "gzip header flags, time, extra flags: $header"; return 1; }
  top=$(gzip -dc "$doc/changelog.Debian.gz" | dpkg-parsechangelog -l - -S Version 2>&1)
  same_text "$deb_version" "$top"
}
check "changelog.Debian.gz is compressed with gzip -9n and its first entry is this version" \
  changelog_is_current

# Tags lintian may still report, each with the reason it stays. Any other tag,
# at any level from error down to pedantic and experimental, fails the check.
allowed_lintian_tags=(
  # The program is linked statically and position-independent: an ELF file of
  # type DYN without any NEEDED entry, which lintian takes for a shared
  # library that lacks its dependencies. It needs none.
  shared-library-lacks-prerequisites
  # The dashboard is a page the operator opens to watch the mesh, program data
  # read by the browser; it does not document the package.
  package-contains-documentation-outside-usr-share-doc
  # The service relies on systemd's sandbox (a dynamic user, no capabilities,
  # a read-only system, a system call filter); an init.d script could give the
  # node none of that, so none is shipped.
  package-supports-alternative-init-but-no-init.d-script
  # The room-key generator is an executable in /usr/lib, where this pedantic,
  # experimental tag wants none; systemd runs a package's generators from
  # /usr/lib/systemd/system-generators, never from /usr/libexec.
  executable-in-usr-lib
)
# Prints lintian's report as "# lintian: " lines, then why it fails, if it does.
lintian_is_clean() {
  local output status tag unexpected=()
  output=$(lintian --pedantic --display-experimental --display-info --tag-display-limit 0 \
    "$deb" 2>&1)
  status=$?
  printf '%s\n' "$output" | grep -v '^running with root privileges' | sed 's/^/# lintian: /'
  while read -r tag; do
    [[ " ${allowed_lintian_tags[*]} " == *" $tag "* ]] || unexpected+=("$tag")
  done < <(printf '%s\n' "$output" | sed -n 's/^[EWIPXO]: pim-node[^:]*: \([^ ]*\).*/\1/p')
  [ "$status" -eq 0 ] || { echo "lintian exited with status $status"; return 1; }
  [ ${#unexpected[@]} -eq 0 ] || { echo "unexpected tags: ${unexpected[*]}"; return 1; }
}
lintian_is_clean >"$scratch/lintian.out" 2>&1
lintian_status=$?
grep '^# lintian: ' "$scratch/lintian.out"
check "lintian reports no tag but the named ones: ${allowed_lintian_tags[*]}" \
  bash -c 'grep -v "^# lintian: " "$1"; exit "$2"' bash "$scratch/lintian.out" "$lintian_status"

root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The scratch root has no libc package nor a shell of its own: the maintainer
# scripts run outside it, with DPKG_ROOT naming it.
check "dpkg -i installs the package into a scratch root" \
  bash -c 'dpkg --root="$1" --force-depends --force-script-chrootless -i "$2" >"$4/dpkg-i.log" 2>&1 ||
      { tail -n 8 "$4/dpkg-i.log"; exit 1; }
    dpkg-query --admindir="$1/var/lib/dpkg" -W -f="\${Status} \${Version}" pim-node |
      grep -qx "install ok installed $3"' bash "$root" "$deb" "$deb_version" "$scratch"

check "the packaged program is a stripped ELF executable" \
  bash -c 'file -b "$1" | grep -E "^ELF 64-bit LSB pie executable.*, stripped$"' bash "$root/usr/bin/pim-node"

# In a private network namespace, with a time limit: a program that took
# --version for an unknown argument would start a node.
version_matches_package() {
  local output
  output=$(timeout 5 unshare -n "$root/usr/bin/pim-node" --version 2>/dev/null)
  same_text "pim-node $version" "$output"
}
check "the packaged program's --version names the package's upstream version" \
  version_matches_package

check "the packaged unit and generator are the ones as written" \
  bash -c 'cmp "$1/dist/pim-node.service" "$2/usr/lib/systemd/system/pim-node.service" &&
    cmp "$1/dist/pim-node-generator" "$2/usr/lib/systemd/system-generators/pim-node-generator"' \
  bash "$source_dir" "$root"

# The packaged generator, run in a mount namespace of its own where a scratch
# folder stands in for /etc/default. Each row: the settings file's text, the
# key file its drop-in then loads ("" for no drop-in), and whether the
# generator refuses the setting. systemd reads the settings of the first
# seven rows as the generator does; the booted check shows it for the first
# two.
generator_rows=(
  "$(cat "$source_dir/dist/pim-node.default")" "" no
  "$(cat "$source_dir/dist/pim-node.default")"$'\nPIM_NODE_KEY_FILE=/etc/pim-node/room.key\n' /etc/pim-node/room.key no
  $'  PIM_NODE_KEY_FILE = "/srv/keys/lab@2.key"  ' /srv/keys/lab@2.key no
  $'PIM_NODE_KEY_FILE=/a.key\n\tPIM_NODE_KEY_FILE=\'/b+c_D-9.key\'\t' /b+c_D-9.key no
  $'PIM_NODE_KEY_FILE=/a.key\nPIM_NODE_KEY_FILE=\n' "" no
  $'#PIM_NODE_KEY_FILE=/a.key\n; PIM_NODE_KEY_FILE=/b.key\nPIM_NODE_KEY_FILES=/c.key\n' "" no
  $'PIM_NODE_KEY_FILE=/a.key\nPIM_NODE_KEY_FILE=room.key\n' "" yes
  $'PIM_NODE_KEY_FILE="/etc/pim node/room.key"\n' "" yes
  $'PIM_NODE_KEY_FILE=/etc/pim-node/room.key # the key\n' "" yes
  $'PIM_NODE_KEY_FILE=/etc/pim-node/100%.key\n' "" yes
)
key_drop_in() {
  printf '%s\n' \
    "# Written by pim-node-generator from /etc/default/pim-node; changes here are lost." \
    "[Service]" "LoadCredential=room.key:$1" "Environment=PIM_NODE_KEY_LOADED=$1" \
    'Environment="PIM_NODE_KEY_ARGS=--key-file %d/room.key"'
}
generator_reads_settings() {
  local generator=$root/usr/lib/systemd/system-generators/pim-node-generator
  local i out expected refused complained bad=()
  for ((i = 0; i < ${#generator_rows[@]}; i += 3)); do
    expected=${generator_rows[i + 1]}
    refused=${generator_rows[i + 2]}
    out=$scratch/generator-$((i / 3))
    mkdir -p "$out/default" "$out/normal" "$out/early" "$out/late"
    printf '%s' "${generator_rows[i]}" >"$out/default/pim-node"
    unshare -m bash -c 'mount --bind "$1" /etc/default && exec "$2" "$3/normal" "$3/early" "$3/late"' \
      bash "$out/default" "$generator" "$out" 2>"$out/stderr" ||
      bad+=("row $((i / 3)): exit status $?")
    if [ -n "$expected" ]; then
      [ "$(cat "$out/normal/pim-node.service.d/room-key.conf" 2>/dev/null)" == "$(key_drop_in "$expected")" ] ||
        bad+=("row $((i / 3)): no drop-in for $expected")
    fi
    [ -n "$expected" ] || [ -z "$(ls -A "$out/normal")" ] || bad+=("row $((i / 3)): a drop-in")
    [ -z "$(find "$out/early" "$out/late" -mindepth 1)" ] || bad+=("row $((i / 3)): early or late units")
    complained=no
    grep -qF 'PIM_NODE_KEY_FILE in /etc/default/pim-node is not an absolute path' "$out/stderr" &&
      complained=yes
    [ "$complained" == "$refused" ] || bad+=("row $((i / 3)): refusal said: [$(cat "$out/stderr")]")
  done
  [ ${#bad[@]} -eq 0 ] || { echo "${bad[*]}"; return 1; }
}
check "the generator turns PIM_NODE_KEY_FILE into a credential drop-in, or refuses it" \
  generator_reads_settings

# Runs in a private network namespace: starts the installed program as host
# alpha, saves its start line and two status answers (before and after two
# peers announce themselves from 127.0.0.2 and 127.0.0.3).
run_installed_node() {
  local binary=$1 out=$2 pid i
  ip link set lo up
  mkdir -p "$out/bin"
  printf '#!/bin/sh\necho alpha\n' >"$out/bin/hostname"
  chmod +x "$out/bin/hostname"
  PATH="$out/bin:/usr/bin:/bin" "$binary" 2>"$out/stderr" &
  pid=$!
  for i in $(seq 50); do
    curl -s -o "$out/empty" http://127.0.0.1:47833/ && break
    sleep 0.1
  done
  node -e '
    const dgram = require("node:dgram");
    const send = (address, text) => new Promise((done) => {
      const socket = dgram.createSocket("udp4");
      socket.bind({ address, port: 0 }, () =>
        socket.send(text, 47832, "127.0.0.1", () => { socket.close(); done(); }));
    });
    Promise.all([send("127.0.0.2", "MORUN-MESH|MORUN-DEFAULT|beta|8.00|1"),
                 send("127.0.0.3", "MORUN-MESH|MORUN-DEFAULT|gamma|16.00|1")]);'
  sleep 0.5
  curl -s -i -o "$out/two" http://127.0.0.1:47833/
  kill "$pid"
  wait "$pid" 2>/dev/null
  return 0
}
node_out=$scratch/node
mkdir -p "$node_out"
unshare -n bash -c "$(declare -f run_installed_node); run_installed_node \"\$1\" \"\$2\"" \
  bash "$root/usr/bin/pim-node" "$node_out" >/dev/null 2>&1

# The namespace has no route, so the node also says once that its broadcast
# cannot be sent; the start line comes first.
check "installed program prints the start line the manual shows" \
  same_text "$start_line" "$(head -n 1 "$node_out/stderr" 2>/dev/null)"
check "installed program answers on 127.0.0.1:47833 as the manual shows" \
  same_text "$empty_body" "$(cat "$node_out/empty" 2>/dev/null)"
two_peers_as_documented() {
  local answer
  answer=$(cat "$node_out/two" 2>/dev/null)
  [ "$answer" == "$headers$two_peers_a" ] || [ "$answer" == "$headers$two_peers_b" ] ||
    { printf 'got [%q]\n' "$answer"; return 1; }
}
check "with two peers it answers with the manual's headers and document" two_peers_as_documented

check "dpkg -P removes the package, its settings file and the scripts' state" \
  bash -c 'dpkg --root="$1" --force-script-chrootless -P pim-node >/dev/null 2>&1 &&
    ! dpkg-query --admindir="$1/var/lib/dpkg" -W -f="\${Status}" pim-node 2>/dev/null | grep -q installed &&
    left=$(find "$1/usr" "$1/etc" "$1/var/lib/systemd" -type f 2>/dev/null; true) &&
    { [ -z "$left" ] || { echo "left: $left"; exit 1; }; }' bash "$root"
