#!/usr/bin/env bash
# The fuzzing step of ./test: every harness for about 15 seconds.
exec "$(dirname "$0")/run.sh" "${VORN_FUZZ_SECONDS:-15}"
