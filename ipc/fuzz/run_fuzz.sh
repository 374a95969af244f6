#!/usr/bin/env bash
# Runs the IPC fuzz target for a bounded time over a private copy of the seed corpus.
# Usage: run_fuzz.sh <fuzzer> <seed corpus dir> [seconds]
set -euo pipefail
fuzzer=$(realpath "$1")
seeds=$(realpath "$2")
seconds=${3:-60}
work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-ipc-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp "$seeds"/* "$work/corpus/"
cd "$work"
"$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work/corpus"
