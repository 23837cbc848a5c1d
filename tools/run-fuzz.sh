#!/bin/bash
# Builds the libFuzzer targets with clang and runs each for a few seconds:
# first on a scratch corpus seeded from fuzz/corpus, so the committed seeds
# stay as they are. Usage: tools/run-fuzz.sh [SECONDS] (default 10).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DNIMBORA_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build build-fuzz -j2 --target fuzz_rpc_call fuzz_exports fuzz_inode_table
for name in rpc_call exports inode_table; do
    scratch=$(mktemp -d)
    cp fuzz/corpus/$name/* "$scratch"/
    echo "fuzz_$name: $seconds s"
    build-fuzz/fuzz/fuzz_$name -max_total_time="$seconds" -print_final_stats=1 "$scratch" \
        >"$scratch.log" 2>&1 || { tail -40 "$scratch.log"; exit 1; }
    grep -E "stat::number_of_executed_units|Done [0-9]+ runs" "$scratch.log" || true
    rm -rf "$scratch" "$scratch.log"
done
