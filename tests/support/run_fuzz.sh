#!/usr/bin/env bash
# Runs a libFuzzer target for a bounded time over a private copy of its seed corpus; anything
# the target writes under TMPDIR stays in the private folder, removed at the end.
# Usage: run_fuzz.sh <fuzzer> <seed corpus dir> <seconds> [libFuzzer options...]
set -euo pipefail
fuzzer=$(realpath "$1")
seeds=$(realpath "$2")
seconds=$3
shift 3
work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp "$seeds"/* "$work/corpus/"
cd "$work"
export TMPDIR="$work"
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$@" "$work/corpus"
