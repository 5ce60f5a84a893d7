#!/usr/bin/env bash
# Setup on simulated machines: apt-get -s and dpkg-query against package
# databases made from this machine's, with the sound servers a PulseAudio
# desktop, a PipeWire desktop and a bare server have. Nothing is installed.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# db NAME "PRESENT..." "ABSENT...": this machine's database with PRESENT
# installed (a minimal entry where missing) and ABSENT not.
db() {
  local dir=$work/$1 p
  mkdir -p "$dir"
  awk -v absent=" $3 " 'BEGIN { RS = ""; ORS = "\n\n" }
    { split($0, l, "\n"); sub(/^Package: /, "", l[1]); if (index(absent, " " l[1] " ") == 0) print }' \
    /var/lib/dpkg/status >"$dir/status"
  for p in $2; do
    grep -q "^Package: $p\$" "$dir/status" && continue
    printf 'Package: %s\nStatus: install ok installed\nArchitecture: amd64\nVersion: 1:99\n' "$p" >>"$dir/status"
    [ "$p" != pipewire-audio ] || echo 'Conflicts: pulseaudio' >>"$dir/status"
    echo >>"$dir/status"
  done
  echo "$dir"
}

failures=0
# check NAME DB TEST_SERVERS EXPECTED_STATUS PATTERN...: the sound-server step
# on DB prints every PATTERN (a leading ! : prints none of it).
check() {
  local name=$1 dir=$2 servers=$3 want=$4 status=0 out pattern
  shift 4
  out=$(TAVRIN_DPKG_ADMINDIR=$dir TAVRIN_SETUP_DRY_RUN=1 TAVRIN_SETUP_TEST_SERVERS=$servers \
    bash "$repo/scripts/setup.d/20-sound-servers.sh" 2>&1) || status=$?
  [ "$status" = "$want" ] || { echo "FAIL $name: exit status $status, not $want"; failures=$((failures + 1)); }
  for pattern in "$@"; do
    if [ "${pattern:0:1}" = '!' ]; then
      ! grep -q -- "${pattern:1}" <<<"$out" || { echo "FAIL $name: printed '${pattern:1}':"; echo "$out"; failures=$((failures + 1)); }
    else
      grep -q -- "$pattern" <<<"$out" || { echo "FAIL $name: did not print '$pattern':"; echo "$out"; failures=$((failures + 1)); }
    fi
  done
}

servers="pulseaudio pipewire-pulse wireplumber pipewire-audio"
pulse=$(db pulse-desktop "pulseaudio" "pipewire-pulse wireplumber pipewire-audio")
pipewire=$(db pipewire-desktop "pipewire pipewire-pulse wireplumber pipewire-audio" "pulseaudio")
bare=$(db bare "" "$servers")

check "PulseAudio desktop" "$pulse" 0 0 "use this machine's pulseaudio" "!new packages"
check "PipeWire desktop" "$pipewire" 0 0 "use this machine's pipewire-pulse" "!new packages"
check "bare server" "$bare" 0 0 "new packages: pulseaudio" "new packages: pipewire-pulse wireplumber"
check "PulseAudio desktop, servers asked for" "$pulse" 1 0 "new packages: pipewire-pulse wireplumber"
check "PipeWire desktop, servers asked for" "$pipewire" 1 0 "would remove pipewire-audio" "!new packages: pipewire"

# The other steps share apt_install: a removal stops them with status 1.
status=0
out=$(TAVRIN_DPKG_ADMINDIR=$pipewire TAVRIN_SETUP_DRY_RUN=1 \
  bash -c ". '$repo/scripts/lib/apt.sh'; apt_install 'a package' pulseaudio" 2>&1) || status=$?
if [ "$status" != 1 ] || ! grep -q 'stopping without changing anything' <<<"$out"; then
  echo "FAIL apt_install on a removal: status $status: $out"
  failures=$((failures + 1))
fi

echo "setup_test: $((6 - failures)) passed, $failures failed"
[ "$failures" = 0 ]
