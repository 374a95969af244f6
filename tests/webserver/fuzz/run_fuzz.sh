#!/usr/bin/env bash
# Usage: run_fuzz.sh <fuzzer> <seed corpus dir> [seconds]: the fuzzer over a private corpus copy.
set -euo pipefail
fuzzer=$(realpath "$1")
seeds=$(realpath "$2")
seconds=${3:-30}
work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-rest-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp "$seeds"/* "$work/corpus/"
cd "$work"
export TMPDIR="$work"  # the target's install root lives in here
"$fuzzer" -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=4096 \
    -print_final_stats=1 "$work/corpus"
