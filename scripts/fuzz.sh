#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets and runs each for the given number of seconds
# (default 30), starting from the seed corpus in fuzz/corpus.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
source "$(dirname "$0")/common.sh"
seconds=${1:-30}

ensure_packages "${BUILD_PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
configure_and_build "$ROOT/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELVRA_FUZZ=ON -DKELVRA_BUILD_TESTS=OFF -- fuzz_Stages fuzz_Transaction fuzz_Telnet

for target in Stages Transaction Telnet; do
    seeds="$ROOT/fuzz/corpus/${target,,}"
    found=$(mktemp -d)
    echo "fuzz_$target for $seconds s"
    # New inputs go to a scratch folder; the committed seeds stay as they are.
    status=0
    "$ROOT/build-fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$ROOT/build-fuzz/$target-" "$found" "$seeds" >"$found.log" 2>&1 || status=$?
    grep -E '^Done|ERROR|SUMMARY|Test unit written' "$found.log" || true
    [ "$status" -eq 0 ] || tail -n 40 "$found.log" >&2
    rm -rf "$found" "$found.log"
    [ "$status" -eq 0 ] || { echo "fuzz_$target found a fault (exit $status)" >&2; exit 1; }
done
