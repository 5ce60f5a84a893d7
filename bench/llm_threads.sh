#!/usr/bin/env bash
# bench/llm_threads.sh [BUILD_DIR]
#
# The notes helper's thread rule (apple-llm/thread_choice.h) idle and beside
# a competing busy core, as when notes are made during a video call (the
# load: a shell busy loop pinned with taskset to the last CPU). In each
# case bench_llm runs with the rule and with one thread per logical CPU,
# each against llama-bench with the same threads in the same run (OpenMP's
# default wait policy, as in the helper, and waiting passively).
# The rule should lose at most 10 % idle and win under load.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target benchmarks >/dev/null  # not part of the default build
cpus=$(nproc)
work=$(mktemp -d)
busy_pid=
stop_busy() { if [ -n "$busy_pid" ]; then kill "$busy_pid" 2>/dev/null || true; wait "$busy_pid" 2>/dev/null || true; fi; busy_pid=; }
trap 'stop_busy; rm -rf "$work"' EXIT

"$build/apple-llm/tavrin-llm-testmodel" "$work/bench.gguf" bench
# The kernel writes the new model out in the background for several seconds,
# and that CPU time is load the rule sees and yields to (1 thread, as seen);
# a user's model was written long before, so the figures wait for it.
sync
for load in idle "one busy core"; do
  if [ "$load" != idle ]; then
    taskset -c $((cpus - 1)) sh -c 'while :; do :; done' &
    busy_pid=$!
  fi
  for threads in 0 "$cpus"; do
    if [ "$threads" = 0 ]; then what="the rule"; else what="$threads threads (one per logical CPU)"; fi
    echo "=== $load: $what"
    "$build/bench/bench_llm" --model "$work/bench.gguf" --threads "$threads" --tokens 32 --repeat 2 --no-children
    echo
  done
  stop_busy
done
