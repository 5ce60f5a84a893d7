#!/usr/bin/env bash
# Runs bench_live_echo on a private headless sound server.
set -euo pipefail
cd "$(dirname "$0")/.."
eval "$(tests/support/pulse-harness start)"
trap 'tests/support/pulse-harness stop "$TAVRIN_TEST_PULSE_DIR"' EXIT
build/bench/bench_live_echo
