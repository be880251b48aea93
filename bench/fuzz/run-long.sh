#!/usr/bin/env bash
# Runs every fuzz harness for SECONDS each (default 600) and prints the
# executions per harness. New inputs stay in a scratch folder; copy anything
# worth keeping into fuzz/corpus/ by hand.
#
#     bench/fuzz/run-long.sh [SECONDS] [HARNESS ...]
exec "$(cd "$(dirname "$0")/../.." && pwd)/fuzz/run.sh" "${1:-600}" "${@:2}"
