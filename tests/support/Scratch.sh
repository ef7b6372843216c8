# SPDX-License-Identifier: MIT
# Sourced by the shell tests: a scratch folder ($work) and the background processes a test
# starts ($pids), stopped and removed however the test ends; fail() ends the test with a reason.
# A test that leaves more behind (Wine's server) defines scratch_stop, run once the processes are told.
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    if declare -F scratch_stop >/dev/null; then scratch_stop; fi
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }
