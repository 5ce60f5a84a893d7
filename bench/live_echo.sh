#!/usr/bin/env bash
# Runs bench_live_echo on a private headless sound server, then scores the
# microphone after echo with NIST sclite: the live recognizer and
# PocketSphinx alone (bench_pocketsphinx_alone) on the same recordings.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
eval "$(tests/support/pulse-harness start)"
trap 'tests/support/pulse-harness stop "$TAVRIN_TEST_PULSE_DIR"; rm -rf "$work"' EXIT
build/bench/bench_live_echo "$work"
sclite=/usr/lib/sctk/bin/sclite
wer() { "$sclite" -r "$work/ref.trn" trn -h "$1" trn -i wsj -o sum stdout | awk '/Sum\/Avg/ { print $(NF-2) }'; }
for set in after-echo no-echo; do
  : > "$work/$set-alone.trn"
  for raw in "$work/$set"-*.raw; do
    id=${raw##*-}; id=${id%.raw}
    echo "$(build/bench/bench_pocketsphinx_alone "$raw" | grep -v '^utterances:' | tr '\n' ' ' | sed 's/ *$//') (s$id)" \
      >> "$work/$set-alone.trn"
  done
done
echo
echo "== microphone with --echo-cancel, $(wc -l < "$work/ref.trn") utterances, WER (%) by sclite"
printf "%-40s %10s %22s\n" "" "live" "PocketSphinx alone"
printf "%-40s %10s %22s\n" "user speaks 1.5 s after system speech" "$(wer "$work/after-echo.trn")" \
  "$(wer "$work/after-echo-alone.trn")"
printf "%-40s %10s %22s\n" "user speaks, nothing played before" "$(wer "$work/no-echo.trn")" \
  "$(wer "$work/no-echo-alone.trn")"
paste -d'\n' "$work/ref.trn" "$work/after-echo.trn" "$work/no-echo.trn" | sed 's/^/  /'
