#!/usr/bin/env bash
# Runs bench_live_echo on a private headless sound server, then scores the
# user's first utterance after echo with NIST sclite, against the same
# utterances with nothing played before.
# KEEP=1 keeps the recordings. Usage: bench/live_echo.sh [flite|human] [echo dB]
# (human: the other side a recorded person instead of flite's voice, the
# user's own; echo dB: the level of the first measurement's echo against
# what plays, -6 unless given)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target benchmarks >/dev/null  # not part of the default build
work=$(mktemp -d)
eval "$(tests/support/pulse-harness start)"
trap 'tests/support/pulse-harness stop "$TAVRIN_TEST_PULSE_DIR"; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
[ -z "${KEEP:-}" ] || echo "recordings and transcripts kept in $work"
build/bench/bench_live_echo "$work" "${1:-flite}" "${2:--6}"
sclite=/usr/lib/sctk/bin/sclite
wer() { "$sclite" -r "$work/ref.trn" trn -h "$1" trn -i wsj -o sum stdout | awk '/Sum\/Avg/ { print $(NF-2) }'; }
echo
echo "== microphone with --echo-cancel, $(wc -l < "$work/ref.trn") utterances, live recognizer, WER (%) by sclite"
printf "%-58s %6s\n" "the user speaks 1.5 s after system speech leaked in" "$(wer "$work/after-echo.trn")"
printf "%-58s %6s\n" "the user speaks, nothing played before" "$(wer "$work/no-echo.trn")"
echo
echo "== double talk: the user speaks over system speech whose echo is 10 or 20 dB below the voice"
corr() { "$sclite" -r "$work/ref.trn" trn -h "$1" trn -i wsj -o sum stdout | awk '/Sum\/Avg/ { print $(NF-6) }'; }
printf "%-58s %6s %6s\n" "" "WER" "Corr"
printf "%-58s %6s %6s\n" "echo 10 dB below the user" "$(wer "$work/double-talk-10.trn")" "$(corr "$work/double-talk-10.trn")"
printf "%-58s %6s %6s\n" "echo 20 dB below the user" "$(wer "$work/double-talk-20.trn")" "$(corr "$work/double-talk-20.trn")"
printf "%-58s %6s %6s\n" "the same without --echo-cancel, 10 dB below" "$(wer "$work/double-talk-plain-10.trn")" "$(corr "$work/double-talk-plain-10.trn")"
printf "%-58s %6s %6s\n" "the same without --echo-cancel, 20 dB below" "$(wer "$work/double-talk-plain-20.trn")" "$(corr "$work/double-talk-plain-20.trn")"
printf "%-58s %6s %6s\n" "the same after 10 s of the other side alone, 10 dB below" "$(wer "$work/double-talk-warm-10.trn")" "$(corr "$work/double-talk-warm-10.trn")"
printf "%-58s %6s %6s\n" "the same after 10 s of the other side alone, 20 dB below" "$(wer "$work/double-talk-warm-20.trn")" "$(corr "$work/double-talk-warm-20.trn")"
printf "%-58s %6s %6s\n" "no echo" "$(wer "$work/no-echo.trn")" "$(corr "$work/no-echo.trn")"
echo "reference / after echo / nothing before / double talk at -10 / -20 dB / the same uncancelled / after 10 s:"
paste -d'\n' "$work/ref.trn" "$work/after-echo.trn" "$work/no-echo.trn" "$work/double-talk-10.trn" "$work/double-talk-20.trn" \
  "$work/double-talk-plain-10.trn" "$work/double-talk-plain-20.trn" \
  "$work/double-talk-warm-10.trn" "$work/double-talk-warm-20.trn" | sed 's/^/  /'
