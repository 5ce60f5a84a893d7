#!/usr/bin/env bash
# Live subtitles without sound hardware: a private headless sound server,
# speech made with flite played into it as system audio (English) and as the
# microphone, `live --translate-to es` until a stop file appears, and the
# events it wrote.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=$PWD/build/system-audio/tavrin-system-audio
work=$(mktemp -d /tmp/tavrin-live-demo.XXXXXX)
server_dir=""
live_pid=""
cleanup() {
  [ -n "$live_pid" ] && kill "$live_pid" 2>/dev/null || true
  [ -n "$server_dir" ] && tests/support/pulse-harness stop "$server_dir" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

eval "$(tests/support/pulse-harness start)"
server_dir=$TAVRIN_TEST_PULSE_DIR

flite -voice slt -t "Hello everybody. Today we talk about the new budget." -o "$work/system.wav"
flite -voice rms -t "Thank you. I have one question about the schedule." -o "$work/mic.wav"

echo "\$ tavrin-system-audio live --language en-US --translate-to es --stop-file $work/stop"
"$bin" live --language en-US --translate-to es --stop-file "$work/stop" >"$work/events" 2>"$work/stderr" &
live_pid=$!

# Speech starts once both channels are listening (the status event is
# written when the system channel's recognizer is set up).
for _ in $(seq 100); do
  grep -q '"type":"status"' "$work/events" 2>/dev/null && break
  sleep 0.1
done
sleep 1
paplay -d system_output "$work/system.wav"
sleep 0.5
paplay -d mic_feed "$work/mic.wav"
sleep 1.5
touch "$work/stop"
status=0
wait "$live_pid" || status=$?
live_pid=""
cat "$work/events"
cat "$work/stderr" >&2
echo "(exit status $status)"
