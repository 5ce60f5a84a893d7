#!/usr/bin/env bash
# Real-speech yardstick of tavrin-apple-speech transcribe, scored with NIST
# sclite (Debian sctk), against PocketSphinx alone with its default settings
# (pocketsphinx_continuous) on the same audio in the same run:
#   librivox     the five LibriVox utterances of pocketsphinx-testdata (human
#                speech, with their transcription);
#   per-file     bench/speech_sentences.txt, flite's slt voice, each sentence
#                in a file of its own (half a second of silence around it);
#   one-file     the same sentence files, one after another in one recording.
# Prints the word error rate per set and program, the per-file / one-file
# ratio, and CPU seconds per audio second on the one-file recording (least
# of three interleaved runs each).
# Needs a build in build/ and scripts/deps/test.apt. Usage: bench/speech_yardstick.sh
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target benchmarks >/dev/null  # not part of the default build
bin=build/apple-speech/tavrin-apple-speech
alone=build/bench/bench_pocketsphinx_alone
sclite=/usr/lib/sctk/bin/sclite
librivox=/usr/share/pocketsphinx/test/data/librivox
work=$(mktemp -d)
# English as PocketSphinx serves it: no Whisper model here, and none downloaded
# (that would reach the network and measure Whisper instead).
export TAVRIN_MODEL_DOWNLOADS=off XDG_DATA_HOME="$work/data"
trap 'rm -rf "$work"' EXIT
export XDG_CACHE_HOME=$work/cache

# The text of a transcribe run's result line.
ours() { "$bin" transcribe "$1" en-US | tail -1 | sed -e 's/^{"type":"result","text":"//' -e 's/","segments".*//'; }
# PocketSphinx alone, default settings, on a WAV file: its utterances joined.
peer() { pocketsphinx_continuous -infile "$1" -logfn /dev/null 2>/dev/null | tr '\n' ' ' | sed 's/ *$//'; }
# Word error rate (%) of a hypothesis file against a reference file, both
# in sclite's trn form ("words (id)").
wer() { "$sclite" -r "$1" trn -h "$2" trn -i wsj -o sum stdout | awk '/Sum\/Avg/ { print $(NF-2) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
words() { tr 'A-Z' 'a-z' | tr -d '.,?!;:' ; }
seconds() { awk -v b="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", b / 64000 }'; }

# One set: ref.trn and a WAV + raw file per id under $work/<set>/.
score() {  # <set>
  local set=$1 id
  : > "$work/$set/ours.trn"; : > "$work/$set/peer.trn"
  while read -r id; do
    echo "$(ours "$work/$set/$id.raw") ($id)" >> "$work/$set/ours.trn"
    echo "$(peer "$work/$set/$id.wav") ($id)" >> "$work/$set/peer.trn"
  done < "$work/$set/ids"
  printf "%-10s %16s %28s\n" "$set" "$(wer "$work/$set/ref.trn" "$work/$set/ours.trn")" \
    "$(wer "$work/$set/ref.trn" "$work/$set/peer.trn")"
}
add() {  # <set> <id> <wav> <reference words>
  mkdir -p "$work/$1"
  ffmpeg -nostdin -loglevel error -y -i "$3" -ac 1 -ar 16000 "$work/$1/$2.wav"
  "$bin" decode "$work/$1/$2.wav" > "$work/$1/$2.raw"
  echo "$2" >> "$work/$1/ids"
  echo "$4 ($2)" >> "$work/$1/ref.trn"
}

sed -e 's/<s> //' -e 's/ <\/s>//' "$librivox/transcription" | while IFS= read -r line; do
  id=${line##*(}; id=${id%)}
  add librivox "$id" "$librivox/$id.wav" "${line% (*}"
done
i=0; : > "$work/concat.txt"; all=""
while IFS= read -r sentence; do
  i=$((i + 1))
  flite -voice slt -t "$sentence" -o "$work/s$i.wav"
  ffmpeg -nostdin -loglevel error -y -i "$work/s$i.wav" -af "adelay=500,apad=pad_dur=0.5" "$work/p$i.wav"
  echo "file '$work/p$i.wav'" >> "$work/concat.txt"
  add per-file "s$i" "$work/p$i.wav" "$(echo "$sentence" | words)"
  all="$all $(echo "$sentence" | words)"
done < bench/speech_sentences.txt
ffmpeg -nostdin -loglevel error -y -f concat -safe 0 -i "$work/concat.txt" "$work/all.wav"
add one-file all "$work/all.wav" "${all# }"

echo "== word error rate (%), scored by sclite"
printf "%-10s %16s %28s\n" "set" "transcribe" "PocketSphinx alone (defaults)"
score librivox
score per-file
score one-file
echo "per-file / one-file WER, transcribe: $(ratio "$(wer "$work/per-file/ref.trn" "$work/per-file/ours.trn")" \
  "$(wer "$work/one-file/ref.trn" "$work/one-file/ours.trn")")   (target <= 1.15)"

echo
echo "== CPU seconds per audio second on the one-file recording ($(seconds "$work/one-file/all.raw") s)"
cpu() { /usr/bin/time -f "%U %S" -o "$work/time" "$@" > /dev/null 2>&1; awk '{ printf "%.2f", $1 + $2 }' "$work/time"; }
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
audio=$(seconds "$work/one-file/all.raw")
# Three interleaved rounds, the least of each program: the machine is shared.
t=""; a=""; p=""
for round in 1 2 3; do
  t=$(least "$t" "$(cpu "$bin" transcribe "$work/one-file/all.raw" en-US)")
  a=$(least "$a" "$(cpu "$alone" "$work/one-file/all.raw")")
  p=$(least "$p" "$(cpu pocketsphinx_continuous -infile "$work/one-file/all.wav" -logfn /dev/null)")
done
printf "%-34s %8s\n" "transcribe" "$(ratio "$t" "$audio")" "PocketSphinx alone, same settings" "$(ratio "$a" "$audio")" \
  "PocketSphinx alone, defaults" "$(ratio "$p" "$audio")"
echo "CPU ratio transcribe / alone (same settings): $(ratio "$t" "$a")   (target <= 1.10)"
