#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Wireshark dissector on a captured R&D test On: its fields and
# relations, a corrupted checksum flagged, and any bytes at all taken without
# a Lua error. Usage: DissectorTest.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
command -v tshark >/dev/null || { echo "tshark is not installed"; exit 77; }
dissector=$source/packaging/wireshark/m2bus.lua
work=$(mktemp -d)
phone_pid=
cleanup() {
    [ -n "$phone_pid" ] && kill "$phone_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

"$build/kelvra-phone-sim" --quiet >"$work/device" &
phone_pid=$!
for _ in $(seq 50); do [ -s "$work/device" ] && break; sleep 0.1; done
XDG_CONFIG_HOME=$work "$build/kelvra-netmon" --run rd-on --device "$(head -n 1 "$work/device")" \
    --capture "$work/rd.pcapng" >/dev/null

decode() {  # file, fields...
    local file=$1
    shift
    local fields=()
    for field in "$@"; do fields+=(-e "$field"); done
    tshark -2 -X "lua_script:$dissector" -r "$file" -T fields -E separator='|' "${fields[@]}" 2>/dev/null
}

# The story of the exchange, line by line: frame, direction, sequence, checksum, relation, Info.
decode "$work/rd.pcapng" frame.number m2bus.direction m2bus.checksum.status m2bus.echo_of m2bus.acknowledges \
    m2bus.copy _ws.col.Info >"$work/story"
cat >"$work/expected" <<'TEXT'
1||||||Port opened: DEVICE 9600 8O1
2|PC to phone|1||||Command seq 1: Init local mode
3|line to PC|1|2|||Echo of #2
4|PC to phone|1||||Command seq 1: Init local mode
5|line to PC|1|4|||Echo of #4
6|line to PC|1||4||Ack seq 1
7|line to PC|1|||1|Reply seq 1 (copy 1 of 3)
8|line to PC|1|||2|Reply seq 1 (copy 2 of 3)
9|line to PC|1|||3|Reply seq 1 (copy 3 of 3)
10|PC to phone|1||7||Ack seq 1
11|line to PC|1|10|||Echo of #10
12|PC to phone|1||||Command seq 2: R&D test on
13|line to PC|1|12|||Echo of #12
14|PC to phone|1||||Command seq 2: R&D test on
15|line to PC|1|14|||Echo of #14
16|line to PC|1||14||Ack seq 2
17|line to PC|1|||1|Reply seq 2 (copy 1 of 3)
18|line to PC|1|||2|Reply seq 2 (copy 2 of 3)
19|line to PC|1|||3|Reply seq 2 (copy 3 of 3)
20|PC to phone|1||17||Ack seq 2
21|line to PC|1|20|||Echo of #20
22||||||Port closed
TEXT
sed -i "s|DEVICE|$(head -n 1 "$work/device")|" "$work/expected"
diff -u "$work/expected" "$work/story" || fail "the decoded exchange differs"
[ "$(decode "$work/rd.pcapng" m2bus.command | sed -n 12p)" = "R&D test on" ] || fail "the command is not named"

# One reply's checksum spoilt: that frame, and only it, is flagged.
perl -0777 -pe 's/(\x1f\x10\x00\x40\x00\x04\x00\x01\x7e\xf3\x02)(.)/$1 . chr(ord($2) ^ 0xff)/se' \
    "$work/rd.pcapng" >"$work/bad.pcapng"
bad=$(decode "$work/bad.pcapng" frame.number m2bus.checksum.status | grep '|0$' || true)
[ "$bad" = "17|0" ] || fail "the spoilt checksum is not flagged alone: '$bad'"
tshark -X "lua_script:$dissector" -r "$work/bad.pcapng" -z expert -q 2>&1 | grep -q "Bad checksum" ||
    fail "no expert information for the bad checksum"

# Every seed of the fuzz corpus, as read and as written records: decoded without a Lua error.
perl -e '
    sub block { my ($type, $body) = @_; my $len = 12 + length $body; pack("VV", $type, $len) . $body . pack("V", $len) }
    sub opt { my ($code, $value) = @_; my $pad = (4 - length($value) % 4) % 4; pack("vv", $code, length $value) . $value . ("\0" x $pad) }
    print block(0x0A0D0D0A, pack("VvvVV", 0x1A2B3C4D, 1, 0, 0xFFFFFFFF, 0xFFFFFFFF) . opt(0, ""));
    print block(1, pack("vvV", 147, 0, 0) . opt(0, ""));
    for my $file (@ARGV) {
        open my $in, "<:raw", $file or die $file; local $/; my $bytes = <$in>;
        for my $kind (0 .. 5) {
            my $data = chr($kind) . $bytes; my $pad = (4 - length($data) % 4) % 4;
            print block(6, pack("VVVVV", 0, 0, 1, length $data, length $data) . $data . ("\0" x $pad));
        }
    }' "$source"/fuzz/corpus/*/* >"$work/corpus.pcapng"
errors=$( { tshark -2 -X "lua_script:$dissector" -r "$work/corpus.pcapng" -V 2>&1
            tshark -2 -X "lua_script:$dissector" -r "$work/corpus.pcapng" 2>&1; } | grep -ciE "lua error|not decoded" || true)
records=$(tshark -X "lua_script:$dissector" -r "$work/corpus.pcapng" 2>/dev/null | wc -l)
[ "$errors" -eq 0 ] || fail "$errors Lua errors on the fuzz corpus"
[ "$records" -gt 0 ] || fail "the fuzz corpus capture was not read"
echo "dissector: the exchange, a bad checksum and $records records of the fuzz corpus decoded"
