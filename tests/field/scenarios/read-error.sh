# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by FieldTest.sh, with its helpers.
# The capture's reads failing from the tenth on (a failing stick or share): the earlier runs stay
# as they were, the run says so and ends with 2.
strace -qq -o /dev/null true 2>/dev/null || { echo "strace cannot trace here"; exit 77; }
phone
for i in 1 2 3; do "$tool" --run rd-on --device "$device" --capture "$work/day.pcapng" >/dev/null; done
cp "$work/day.pcapng" "$work/before.pcapng"
# A cut tail to tempt the opening into cutting.
truncate -s -7 "$work/day.pcapng"
cp "$work/day.pcapng" "$work/before.pcapng"
# The loader's own reads of the program's libraries come first: the failures start after them.
strace -f -qq -o "$work/loader" -e trace=pread64 "$tool" --version >/dev/null
first=$(( $(grep -c pread64 "$work/loader") + 1 ))
status=0
strace -f -qq -o /dev/null -e trace=pread64 -e inject=pread64:error=EIO:when=$first+ \
    "$tool" --run rd-on --device "$device" --capture "$work/day.pcapng" >/dev/null 2>"$work/err" || status=$?
[ "$status" -eq 2 ] || fail "status $status: $(cat "$work/err")"
grep -q "cannot be read: Input/output error" "$work/err" || fail "the read error is not said: $(cat "$work/err")"
cmp -s "$work/day.pcapng" "$work/before.pcapng" || fail "the capture was changed"
# A long capture (33 MB) is opened in what its end takes: the next run never waits a second for it.
while [ "$(stat -c %s "$work/day.pcapng")" -lt 33000000 ]; do cat "$work/day.pcapng" "$work/day.pcapng" >"$work/twice" &&
    mv "$work/twice" "$work/day.pcapng"; done
"$tool" --run rd-on --device "$device" --capture "$work/day.pcapng" >/dev/null 2>&1 &
first=$!
"$tool" --run rd-on --device "$device" --capture "$work/day.pcapng" --com 2 >/dev/null 2>"$work/err2" || true
wait "$first" || true
grep -q "locked by another" "$work/err2" && fail "a run waited for another's opening: $(cat "$work/err2")"
echo "a read error leaves the capture as it was (status 2); a 33 MB capture holds no run up"
