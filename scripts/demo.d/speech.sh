#!/usr/bin/env bash
# tavrin-apple-speech on a short speech sample: flite speaks two sentences,
# ffmpeg makes an MP3 of them, the helper decodes it to raw samples and
# transcribes those, printing its JSON lines.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=build/apple-speech/tavrin-apple-speech
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "\$ flite -voice slt -t 'Good morning everyone.' ... ; ffmpeg ... sample.mp3   (two spoken sentences)"
flite -voice slt -t "Good morning everyone." -o "$work/a.wav"
flite -voice slt -t "We will discuss the budget for the next quarter today." -o "$work/b.wav"
ffmpeg -nostdin -loglevel error -y -i "$work/a.wav" -i "$work/b.wav" \
  -filter_complex "[0]adelay=500,apad=pad_dur=1[a];[a][1]concat=n=2:v=0:a=1,apad=pad_dur=0.5" "$work/sample.mp3"

echo "\$ tavrin-apple-speech status en-US"
"$bin" status en-US
echo "\$ tavrin-apple-speech supported-locales"
"$bin" supported-locales
echo "\$ tavrin-apple-speech decode sample.mp3 > sample.raw"
"$bin" decode "$work/sample.mp3" > "$work/sample.raw"
echo "($(stat -c %s "$work/sample.raw") bytes: 16 kHz mono float32)"
echo "\$ tavrin-apple-speech transcribe sample.raw en-US --contextual-strings 'quarter'"
"$bin" transcribe "$work/sample.raw" en-US --contextual-strings "quarter"
echo "\$ tavrin-apple-speech decode missing.mp4"
"$bin" decode "$work/missing.mp4" || echo "(exit status $?)"
