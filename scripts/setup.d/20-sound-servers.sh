#!/usr/bin/env bash
# The smoke tests' sound servers (tests/support/pulse-harness starts a
# private one): PulseAudio, and PipeWire with pipewire-pulse, WirePlumber and
# a dbus-daemon. A sound server brings user services that start at the next
# login, so installing one on a desktop would switch the desktop's own sound:
# they are installed only on a machine that has no sound server yet (a bare
# server, CI), or when asked for (scripts/setup --test-servers). A desktop's
# tests run on the server it has. The helpers themselves need only the client
# library. Never with --build-only.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=../lib/apt.sh
. scripts/lib/apt.sh

[ "${TAVRIN_SETUP_BUILD_ONLY:-0}" = 0 ] || exit 0
if has_sound_server && [ "${TAVRIN_SETUP_TEST_SERVERS:-0}" != 1 ]; then
  for kind in pulseaudio pipewire-pulse; do
    pkg_installed "$kind" && echo "setup: the tests use this machine's $kind; installing no other sound server"
  done
  exit 0
fi
usable=0
for kind in "pulseaudio" "pipewire pipewire-pulse wireplumber dbus-daemon"; do
  # shellcheck disable=SC2086
  if apt_install "the test server ${kind%% *}" $kind; then
    usable=$((usable + 1))
  fi
done
if [ "$usable" -eq 0 ]; then
  echo "setup: no test sound server installs here without removing packages; the smoke tests will skip"
fi
