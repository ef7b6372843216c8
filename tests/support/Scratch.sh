# SPDX-License-Identifier: MIT
# Sourced by the shell tests: a scratch folder ($work) and the background processes a test
# starts ($pids), stopped and removed however the test ends; fail() ends the test with a reason.
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }
