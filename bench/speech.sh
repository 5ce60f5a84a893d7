#!/usr/bin/env bash
# Benchmarks of tavrin-apple-speech, each against a peer measured in the
# same run:
#   1. transcribe on about 10 minutes of synthetic speech: CPU seconds per
#      audio second and peak memory, against PocketSphinx alone with the same
#      model and settings (bench_pocketsphinx_alone);
#   2. word error rate scored by sclite on human and synthetic speech
#      (bench/speech_yardstick.sh);
#   3. decode of a 10-minute and a 20-minute MP3 (44.1 kHz stereo): audio
#      seconds per CPU second and peak memory, against the ffmpeg
#      command-line tool doing the same conversion.
# Needs a build in build/ (scripts/setup). Usage: bench/speech.sh [minutes]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target benchmarks >/dev/null  # not part of the default build
minutes=${1:-10}
bin=build/apple-speech/tavrin-apple-speech
alone=build/bench/bench_pocketsphinx_alone
work=$(mktemp -d)
# English as PocketSphinx serves it: no Whisper model here, and none downloaded
# (that would reach the network and measure Whisper instead).
export TAVRIN_MODEL_DOWNLOADS=off XDG_DATA_HOME="$work/data"
trap 'rm -rf "$work"' EXIT

# Runs a command with /usr/bin/time; prints "<cpu seconds> <peak KiB>".
measure() {
  local out=$1; shift
  /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" > "$out"
  awk '{printf "%.2f %d\n", $1 + $2, $3}' "$work/time"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

echo "== making ${minutes} minutes of speech with flite"
: > "$work/long.txt"
while [ "$(wc -w < "$work/long.txt")" -lt $((minutes * 190)) ]; do
  cat bench/speech_sentences.txt >> "$work/long.txt"
done
flite -voice slt -f "$work/long.txt" -o "$work/speech.wav"
ffmpeg -nostdin -loglevel error -y -i "$work/speech.wav" -t $((minutes * 60)) -ac 2 -ar 44100 -b:a 128k "$work/speech.mp3"
"$bin" decode "$work/speech.mp3" > "$work/speech.raw"
audio=$(awk -v b="$(stat -c %s "$work/speech.raw")" 'BEGIN { printf "%.1f", b / 64000 }')
echo "audio: ${audio} s"

echo
echo "== 1. transcribe vs PocketSphinx alone (${audio} s of speech)"
read -r t_cpu t_mem < <(measure "$work/transcribe.out" "$bin" transcribe "$work/speech.raw" en-US)
read -r p_cpu p_mem < <(measure "$work/alone.out" "$alone" "$work/speech.raw")
printf "%-28s %8s %10s %12s\n" "" "CPU s" "CPU s/s" "peak MiB"
printf "%-28s %8s %10s %12s\n" "tavrin-apple-speech" "$t_cpu" "$(ratio "$t_cpu" "$audio")" "$((t_mem / 1024))"
printf "%-28s %8s %10s %12s\n" "PocketSphinx alone" "$p_cpu" "$(ratio "$p_cpu" "$audio")" "$((p_mem / 1024))"
echo "CPU ratio transcribe / alone: $(ratio "$t_cpu" "$p_cpu")   (target <= 1.10)"
echo "segments: $(grep -c '"type":"segment"' "$work/transcribe.out"), utterances alone: $(tail -1 "$work/alone.out")"
budget=$(awk -v s="$audio" -v e="$p_mem" 'BEGIN { printf "%d", (230 * s / 3600) + e / 1024 }')
echo "memory budget (230 MB per hour of audio + the engine's own): ${budget} MiB"

echo
echo "== 2. word error rate: bench/speech_yardstick.sh (sclite, against PocketSphinx alone)"
bench/speech_yardstick.sh

echo
echo "== 3. decode vs the ffmpeg tool (MP3, 44.1 kHz stereo -> 16 kHz mono float)"
ffmpeg -nostdin -loglevel error -y -i "$work/speech.mp3" -i "$work/speech.mp3" -filter_complex "[0][1]concat=n=2:v=0:a=1" \
  -ac 2 -ar 44100 -b:a 128k "$work/double.mp3"
printf "%-10s %-22s %8s %14s %10s\n" "file" "program" "CPU s" "audio s/CPU s" "peak MiB"
for f in speech double; do
  read -r d_cpu d_mem < <(measure /dev/null "$bin" decode "$work/$f.mp3")
  read -r f_cpu f_mem < <(measure /dev/null ffmpeg -nostdin -loglevel error -i "$work/$f.mp3" -ac 1 -ar 16000 -f f32le -)
  len=$(awk -v b="$("$bin" decode "$work/$f.mp3" | wc -c)" 'BEGIN { printf "%.1f", b / 64000 }')
  printf "%-10s %-22s %8s %14s %10s\n" "${len}s" "tavrin-apple-speech" "$d_cpu" "$(ratio "$len" "$d_cpu")" "$((d_mem / 1024))"
  printf "%-10s %-22s %8s %14s %10s\n" "${len}s" "ffmpeg" "$f_cpu" "$(ratio "$len" "$f_cpu")" "$((f_mem / 1024))"
  echo "speed ratio decode / ffmpeg: $(ratio "$f_cpu" "$d_cpu")   (target >= 1.0)"
done
