#!/usr/bin/env bash
# The smoke tests' sound servers (tests/support/pulse-harness starts a
# private one): PulseAudio, and PipeWire with pipewire-pulse, WirePlumber and
# a dbus-daemon. Each is installed only when apt-get, asked first with -s,
# removes nothing for it. The helpers themselves need only the client
# library: a desktop keeps its own server. On a GNOME desktop, whose
# pipewire-audio conflicts with pulseaudio, only PipeWire is used (it is
# there already); on a bare server or CI both install side by side.
set -euo pipefail

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

usable=0
for kind in "pulseaudio" "pipewire pipewire-pulse wireplumber dbus-daemon"; do
  missing=()
  for p in $kind; do installed "$p" || missing+=("$p"); done
  if [ ${#missing[@]} -eq 0 ]; then
    usable=$((usable + 1))
    continue
  fi
  removed=$(apt-get -s install "${missing[@]}" 2>/dev/null | sed -n 's/^Remv \([^ ]*\).*/\1/p' | xargs)
  if [ -n "$removed" ]; then
    echo "setup: not installing the test server ${kind%% *}: it would remove $removed"
    continue
  fi
  echo "setup: installing the test server ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  usable=$((usable + 1))
done
if [ "$usable" -eq 0 ]; then
  echo "setup: no test sound server installs here without removing packages; the smoke tests will skip"
fi
