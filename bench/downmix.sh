#!/usr/bin/env bash
# Speech level through the one downmix, against FFmpeg's own downmix of the
# same file (ffmpeg -ac 1), measured in the same run: the same flite speech
# in a mono file, in the front pair of a 5.1 file, and in the centre channel
# alone of a 5.1 and a 7.1 file,
#   - after `tavrin-apple-speech decode`, and
#   - after the system-audio tap (`tavrin-system-audio record` while paplay
#     plays the file into a 5.1 or 7.1 null sink; the mono file into the
#     stereo default sink) on a private PulseAudio and PipeWire server.
# Each level is the speech's energy per sample of the source, in dB full
# scale, so silence around a recording does not count; the columns "vs mono"
# are what matters (target: within 3 dB, centre about -3 dB).
# Needs a build in build/ and the test sound servers (scripts/setup).
# Usage: bench/downmix.sh [pulseaudio pipewire]
set -euo pipefail
cd "$(dirname "$0")/.."
servers=("$@")
[ ${#servers[@]} -gt 0 ] || servers=(pulseaudio pipewire)
decode=build/apple-speech/tavrin-apple-speech
record=build/system-audio/tavrin-system-audio
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ff() { ffmpeg -nostdin -loglevel error -y "$@"; }

# level FILE SAMPLES: 10 log10(sum of squares / SAMPLES) of a raw float file.
level() {
  od -An -v -tf4 -w4 "$1" | awk -v n="$2" '{ s += $1 * $1 } END { printf "%.1f", (s > 0 ? 10 * log(s / n) / log(10) : -999) }'
}

flite -voice slt -t "Please call Stella and ask her to bring these things with her from the store." -o "$work/s.wav"
ff -i "$work/s.wav" -ar 48000 -af "volume=0.5" "$work/mono.wav"
samples48=$(( $(ff -i "$work/mono.wav" -f f32le - | wc -c) / 4 ))
samples16=$(( samples48 / 3 ))
seconds=$(( samples48 / 48000 + 2 ))
ff -i "$work/mono.wav" -af "pan=5.1|c0=c0|c1=c0" "$work/front.wav"
ff -i "$work/mono.wav" -af "pan=5.1|c2=c0" "$work/centre.wav"
ff -i "$work/mono.wav" -af "pan=7.1|c2=c0" "$work/centre71.wav"
layouts=(mono front centre centre71)
declare -A channels=([mono]=1 [front]=6 [centre]=6 [centre71]=8)
map51=front-left,front-right,front-center,lfe,rear-left,rear-right
declare -A maps=([mono]=mono [front]=$map51 [centre]=$map51 [centre71]=$map51,side-left,side-right)
declare -A result

for l in "${layouts[@]}"; do
  "$decode" decode "$work/$l.wav" > "$work/$l.decoded"
  result[$l,decode]=$(level "$work/$l.decoded" "$samples16")
  ff -i "$work/$l.wav" -ac 1 -ar 16000 -f f32le "$work/$l.ffmpeg"
  result[$l,ffmpeg]=$(level "$work/$l.ffmpeg" "$samples16")
  ff -i "$work/$l.wav" -f f32le "$work/$l.f32"
done

for server in "${servers[@]}"; do
  if ! harness=$(tests/support/pulse-harness start "$server" 2>/dev/null); then
    echo "($server: not available)"; continue
  fi
  eval "$harness"
  # Sinks in PulseAudio's own 5.1 / 7.1 order, which differs from FFmpeg's.
  pactl load-module module-null-sink sink_name=s51 channels=6 \
    channel_map=front-left,front-right,rear-left,rear-right,front-center,lfe > /dev/null
  pactl load-module module-null-sink sink_name=s71 channels=8 \
    channel_map=front-left,front-right,rear-left,rear-right,front-center,lfe,side-left,side-right > /dev/null
  declare -A sinks=([mono]=system_output [front]=s51 [centre]=s51 [centre71]=s71)
  for l in "${layouts[@]}"; do
    pactl set-default-sink "${sinks[$l]}"
    sleep 0.5
    "$record" record --output "$work/$l.tap" --seconds "$seconds" > /dev/null &
    rec=$!
    sleep 0.5
    paplay --raw --format=float32le --rate=48000 --channels="${channels[$l]}" --channel-map="${maps[$l]}" \
      --device="${sinks[$l]}" "$work/$l.f32"
    wait "$rec"
    result[$l,$server]=$(level "$work/$l.tap" "$samples16")
  done
  tests/support/pulse-harness stop "$TAVRIN_TEST_PULSE_DIR"
  unset TAVRIN_TEST_PULSE_DIR PULSE_SERVER PULSE_RUNTIME_PATH
done

columns=(decode ffmpeg "${servers[@]}")
printf "%-10s" "speech in"
for c in "${columns[@]}"; do printf " %12s %8s" "$c dB" "vs mono"; done
echo
for l in "${layouts[@]}"; do
  printf "%-10s" "$l"
  for c in "${columns[@]}"; do
    v=${result[$l,$c]:-}
    m=${result[mono,$c]:-}
    if [ -z "$v" ]; then printf " %12s %8s" - -; continue; fi
    printf " %12s %8s" "$v" "$(awk -v a="$v" -v b="$m" 'BEGIN { printf "%+.1f", a - b }')"
  done
  echo
done
echo "(decode and the tap: the one speech downmix; ffmpeg: ffmpeg -ac 1, FFmpeg's default mono downmix)"
