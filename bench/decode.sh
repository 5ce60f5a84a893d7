#!/usr/bin/env bash
# Benchmarks of `tavrin-apple-speech decode`, each against the ffmpeg tool
# measured in the same run on the same file:
#   1. two-track files (AAC, 44.1 kHz stereo, in Matroska) whose second track
#      is 1 minute long, at two lengths: peak memory (the same at both lengths
#      when decoding streams; target under 60 MB) and audio seconds per CPU
#      second, against the ffmpeg tool making the same mono 16 kHz mix;
#   2. recognition of two flite sentences after a WAV, MP3 and Opus round
#      trip (word error rate of the transcript; lossy copies vary by codec build).
# Needs a build in build/ (scripts/setup); scores with sclite (sctk). Usage: bench/decode.sh [short long]
# (minutes, default 10 40).
set -euo pipefail
cd "$(dirname "$0")/.."
short=${1:-10}
long=${2:-40}
bin=build/apple-speech/tavrin-apple-speech
sclite=/usr/lib/sctk/bin/sclite
work=$(mktemp -d)
# English as PocketSphinx serves it: no Whisper model here, and none downloaded
# (that would reach the network and measure Whisper instead).
export TAVRIN_MODEL_DOWNLOADS=off XDG_DATA_HOME="$work/data"
trap 'rm -rf "$work"' EXIT
ff() { ffmpeg -nostdin -loglevel error -y "$@"; }

# Runs a command with /usr/bin/time; prints "<cpu seconds> <peak KiB>".
measure() {
  local out=$1; shift
  /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" > "$out"
  awk '{printf "%.2f %d\n", $1 + $2, $3}' "$work/time"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

echo "== 1. two tracks of different lengths: decode vs the ffmpeg tool (same mix)"
printf "%-8s %-22s %8s %14s %10s\n" "length" "program" "CPU s" "audio s/CPU s" "peak MiB"
for minutes in "$short" "$long"; do
  f="$work/two-$minutes.mkv"
  ff -f lavfi -i "aevalsrc=0.3*sin(2*PI*(150+100*sin(t))*t)+0.05*random(0):d=$((minutes * 60)):s=44100" \
     -f lavfi -i "sine=frequency=700:duration=60:sample_rate=48000" \
     -map 0 -map 1 -c:a aac -ac 2 -b:a 96k "$f"
  read -r d_cpu d_mem < <(measure "$work/ours.raw" "$bin" decode "$f")
  read -r f_cpu f_mem < <(measure "$work/ffmpeg.raw" ffmpeg -nostdin -loglevel error -i "$f" \
    -filter_complex "[0:a:0][0:a:1]amix=inputs=2:duration=longest,aformat=channel_layouts=mono,aresample=16000" -f f32le -)
  len=$(awk -v b="$(stat -c %s "$work/ours.raw")" 'BEGIN { printf "%.0f", b / 64000 }')
  printf "%-8s %-22s %8s %14s %10s\n" "${len}s" "tavrin-apple-speech" "$d_cpu" "$(ratio "$len" "$d_cpu")" "$((d_mem / 1024))"
  printf "%-8s %-22s %8s %14s %10s\n" "${len}s" "ffmpeg (amix)" "$f_cpu" "$(ratio "$len" "$f_cpu")" "$((f_mem / 1024))"
  echo "speed ratio decode / ffmpeg: $(ratio "$f_cpu" "$d_cpu")   (target >= 1.0)"
done

echo
echo "== 2. recognition after a lossy round trip (word error rate; figures, not verdicts)"
first="Please call Stella and ask her to bring these things with her from the store."
second="We will discuss the budget for the next quarter today."
flite -voice slt -t "$first" -o "$work/first.wav"
flite -voice slt -t "$second" -o "$work/second.wav"
ff -i "$work/first.wav" -i "$work/second.wav" -filter_complex \
   "[0]adelay=500,apad=pad_dur=1[a];[a][1]concat=n=2:v=0:a=1,apad=pad_dur=0.5" "$work/both.wav"
ff -i "$work/both.wav" -ac 2 -ar 44100 -b:a 128k "$work/both.mp3"
ff -i "$work/both.wav" -c:a libopus -b:a 48k "$work/both.opus"
words() { tr 'A-Z' 'a-z' | tr -d '.,?!;:'; }
echo "$first $second (u1)" | words > "$work/ref.trn"
for f in both.wav both.mp3 both.opus; do
  "$bin" decode "$work/$f" > "$work/$f.raw"
  hyp=$("$bin" transcribe "$work/$f.raw" en-US | tail -1 | sed -e 's/^{"type":"result","text":"//' -e 's/","segments".*//')
  echo "$hyp (u1)" | words > "$work/hyp.trn"
  printf "%-10s WER %s %%\n" "$f" "$("$sclite" -r "$work/ref.trn" trn -h "$work/hyp.trn" trn -i wsj -o sum stdout | awk '/Sum\/Avg/ { print $(NF-2) }')"
done
