#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Wireshark dissector on captures made at the line's real speed: every
# frame of R&D test On decoded and linked both ways, a capture written one
# record per read piece reassembled, a day's file of several runs (one
# faulty, one cut short) read whole with each fault named where it happened,
# each record of a capture of one record per frame decided in itself, every
# line event flagged,
# what one pass cannot know left out, two copies of the plugin loaded once,
# and any bytes at all taken without a Lua error.
# Usage: DissectorTest.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
command -v tshark >/dev/null || { echo "tshark is not installed"; exit 77; }
dissector=$source/packaging/wireshark/m2bus.lua
source "$(dirname "$0")/../support/Scratch.sh"
phone_pid=

# capture FILE PHONE-OPTIONS...: R&D test On against a virtual phone, appended to FILE.
capture() {
    local file=$1
    shift
    # Gone first: the shell truncates it only once the phone's process runs, so the last phone's
    # line could still be read as this one's.
    rm -f "$work/device"
    "$build/kelvra-phone-sim" --quiet "$@" >"$work/device" &
    phone_pid=$!
    pids=("$phone_pid")
    for _ in $(seq 50); do [ "$(wc -l <"$work/device" 2>/dev/null)" = 1 ] && break; sleep 0.1; done
    XDG_CONFIG_HOME=$work "$build/kelvra-netmon" --run rd-on --device "$(head -n 1 "$work/device")" \
        --capture "$file" >/dev/null 2>&1 || true
    kill "$phone_pid"
    wait "$phone_pid" 2>/dev/null || true
    pids=()
}

decode() {  # file, fields...
    local file=$1
    shift
    local fields=()
    for field in "$@"; do fields+=(-e "$field"); done
    tshark -2 -X "lua_script:$dissector" -r "$file" -T fields -E separator='|' "${fields[@]}" 2>/dev/null
}
story() {  # file: frame, source, checksum, echo, links both ways, copy, Info
    decode "$1" frame.number _ws.col.Source m2bus.checksum.status m2bus.echo_of m2bus.echo_in m2bus.acknowledges \
        m2bus.acknowledges_reply m2bus.ack_in m2bus.reply_in m2bus.reply_to m2bus.copy _ws.col.Info
}
experts() {  # file: the expert summaries, one per line, with their frames
    tshark -2 -X "lua_script:$dissector" -r "$1" -T fields -e frame.number -e _ws.expert.message 2>/dev/null |
        awk -F'\t' '$2 != "" { print $1 ": " $2 }'
}

# R&D test On at the real line speed, the phone's bytes as a USB adapter hands them over.
capture "$work/rd.pcapng" --chunks 62/16
story "$work/rd.pcapng" | sed 's|/dev/pts/[0-9]*|DEVICE|' >"$work/story"
cat >"$work/expected" <<'TEXT'
1|||||||||||Port opened: DEVICE 9600 8O1
2|PC|1||3|||6|7|||Command seq 1: Init local mode
3|PC|1|2||||||||Echo of #2
4|PC|1||5|||6|7|||Command seq 1: Init local mode
5|PC|1|4||||||||Echo of #4
6|phone|1|||4||||||Ack seq 1
7|phone|1|||||10||4|1|Reply seq 1 (copy 1 of 3)
8|phone|1|||||10||4|2|Reply seq 1 (copy 2 of 3)
9|phone|1|||||10||4|3|Reply seq 1 (copy 3 of 3)
10|PC|1||11||7|||||Ack seq 1
11|PC|1|10||||||||Echo of #10
12|PC|1||13|||16|17|||Command seq 2: R&D test on
13|PC|1|12||||||||Echo of #12
14|PC|1||15|||16|17|||Command seq 2: R&D test on
15|PC|1|14||||||||Echo of #14
16|phone|1|||14||||||Ack seq 2
17|phone|1|||||20||14|1|Reply seq 2 (copy 1 of 3)
18|phone|1|||||20||14|2|Reply seq 2 (copy 2 of 3)
19|phone|1|||||20||14|3|Reply seq 2 (copy 3 of 3)
20|PC|1||21||17|||||Ack seq 2
21|PC|1|20||||||||Echo of #20
22|||||||||||Port closed
TEXT
diff -u "$work/expected" "$work/story" || fail "the exchange at line speed is not decoded and linked"
[ "$(decode "$work/rd.pcapng" m2bus.command | sed -n 12p)" = "R&D test on" ] || fail "the command is not named"
[ -n "$(decode "$work/rd.pcapng" m2bus.response_time | sed -n 14p)" ] || fail "no response time on the command"
[ -z "$(experts "$work/rd.pcapng")" ] || fail "a good exchange has expert items: $(experts "$work/rd.pcapng")"

# In one pass only what is known: the copy, not yet how many came.
one_pass=$(tshark -X "lua_script:$dissector" -r "$work/rd.pcapng" -T fields -E separator='|' -e m2bus.copies \
    -e _ws.col.Info 2>/dev/null | sed -n 7p)
[ "$one_pass" = "|Reply seq 1 (copy 1)" ] || fail "one pass shows what it cannot know: '$one_pass'"

# The same exchange as written one record per read piece (by version 1.0.4): every frame reassembled.
frames() { story "$1" | cut -d'|' -f3,12 | grep -v '|Part of a frame' | sed 's/#[0-9]*//'; }
fixture=$source/tests/capture/fixtures/rd-on-paced-per-read.pcapng
diff <(frames "$work/rd.pcapng" | sed 's|/dev/pts/[0-9]*||') <(frames "$fixture" | sed 's|/dev/pts/[0-9]*||') ||
    fail "the per-read capture does not decode as the same exchange"
[ "$(decode "$fixture" m2bus.part | grep -c ,)" -eq 14 ] || fail "not every frame read names the records it came from"

# One reply's checksum spoilt: that frame, and only it, is flagged, Wireshark's way.
perl -0777 -pe 's/(\x1f\x10\x00\x40\x00\x04\x00\x01\x7e\xf3\x02)\xc5/$1\x3a/s' "$work/rd.pcapng" >"$work/bad.pcapng"
bad=$(decode "$work/bad.pcapng" frame.number m2bus.checksum.status | grep '|0$' || true)
[ "$bad" = "17|0" ] || fail "the spoilt checksum is not flagged alone: '$bad'"
shown=$(tshark -2 -X "lua_script:$dissector" -r "$work/bad.pcapng" -V 2>/dev/null)
grep -q "Checksum: 0x3a \[incorrect, should be 0xc5\]" <<<"$shown" || fail "the bad checksum is not shown with the right one"
[ "$(experts "$work/bad.pcapng" | cut -d, -f1)" = "17: Bad checksum" ] || fail "no expert error for the bad checksum alone"

# A day in one file: a run without echo, a good run, a run whose last block was cut (a full disk),
# a run whose phone acknowledges the wrong sequence, one whose reply copies differ: read whole, each
# fault named in its own section and nowhere else.
day=$work/day.pcapng
capture "$day" --paced --fault no-echo
capture "$day" --trickle
capture "$day" --chunks 62/16
truncate -s -7 "$day"
capture "$day" --paced --fault wrong-ack-seq
capture "$day" --chunks 62/16 --fault differing-replies
tshark -r "$day" >/dev/null 2>"$work/day.err" || fail "tshark cannot read the day's file: $(cat "$work/day.err")"
by_section() {  # section: the expert messages of that section's frames
    decode "$day" frame.section_number _ws.expert.message | awk -F'|' -v s="$1" '$1 == s && $2 != "" { print $2 }' |
        tr ',' '\n' | sort -u | paste -sd';'
}
[ "$(decode "$day" frame.section_number | sort -u | wc -l)" -eq 5 ] || fail "the day's file does not hold five runs"
[ "$(by_section 1)" = "The line never echoed this frame;The phone never acknowledged this command" ] ||
    fail "no-echo: '$(by_section 1)'"
[ -z "$(by_section 2)" ] || fail "the good run after a faulty one has warnings: '$(by_section 2)'"
[ "$(by_section 3)" = "Frame cut short" ] || [ -z "$(by_section 3)" ] || fail "the cut run: '$(by_section 3)'"
by_section 4 | grep -q "An acknowledgement whose sequence number matches no command" ||
    fail "wrong-ack-seq: '$(by_section 4)'"
[ "$(by_section 5)" = "This reply copy differs from the other copies" ] || fail "differing replies: '$(by_section 5)'"

# A rack: two, then four runs at once on phones at the line speed, one capture and one log file for all.
# Every record sits under its own run's interface and every exchange is linked as if alone: no expert
# item anywhere; the log holds each run's seven lines, whole, under its own port.
for runs in 2 4; do
    rack=$work/rack$runs.pcapng
    rack_pids=()
    for i in $(seq "$runs"); do
        rm -f "$work/rack-device$i"
        "$build/kelvra-phone-sim" --quiet --paced >"$work/rack-device$i" &
        rack_pids+=($!)
    done
    for i in $(seq "$runs"); do
        for _ in $(seq 50); do [ "$(wc -l <"$work/rack-device$i" 2>/dev/null)" = 1 ] && break; sleep 0.1; done
    done
    runners=()
    for i in $(seq "$runs"); do
        XDG_CONFIG_HOME=$work "$build/kelvra-netmon" --run rd-on --com "$i" --device "$(head -n 1 "$work/rack-device$i")" \
            --capture "$rack" --log-file "$work/rack$runs.log" >/dev/null 2>&1 &
        runners+=($!)
    done
    for pid in "${runners[@]}"; do wait "$pid" || fail "a run of the rack of $runs failed"; done
    kill "${rack_pids[@]}"
    wait "${rack_pids[@]}" 2>/dev/null || true
    [ -z "$(experts "$rack")" ] || fail "the rack of $runs has expert items: $(experts "$rack" | head -n 5)"
    opened=$(decode "$rack" frame.interface_name _ws.col.Info | grep -c 'Port opened' || true)
    [ "$opened" -eq "$runs" ] || fail "the rack of $runs: $opened openings"
    # Each section that goes on with a run says which: the device its run opened.
    continued=$(decode "$rack" frame.section_number _ws.col.Info | grep -c '|Run continued: /dev/pts/' || true)
    [ "$continued" -gt 0 ] || fail "the rack of $runs: the runs did not interleave"
    [ "$(decode "$rack" m2bus.checksum.status | grep -c '^1$')" -eq $((runs * 20)) ] ||
        fail "the rack of $runs: not every run's twenty frames are decoded"
    for i in $(seq "$runs"); do
        [ "$(grep -cE "^[0-9T:.+-]+ Com$i /dev/pts/[0-9]+ " "$work/rack$runs.log")" -eq 7 ] ||
            fail "the rack of $runs: Com$i's lines: $(grep " Com$i " "$work/rack$runs.log")"
    done
    [ "$(wc -l <"$work/rack$runs.log")" -eq $((runs * 7)) ] || fail "the rack of $runs: lines that are no run's"
done

# Each record decided in itself: a reply cut short (by silence, then by the closing), a lone frame id, an
# acknowledgement whose checksum is the frame id followed by two stray bytes, and every line event the
# tool counts: each fault on its own record, nowhere else.
perl -e '
    sub block { my ($type, $body) = @_; my $len = 12 + length $body; pack("VV", $type, $len) . $body . pack("V", $len) }
    sub record { my $data = shift; my $pad = (4 - length($data) % 4) % 4;
                 block(6, pack("VVVVV", 0, 0, 1, length $data, length $data) . $data . ("\0" x $pad)) }
    sub event { my ($code, $text) = @_; record("\x02" . pack("v", $code) . $text) }
    print block(0x0A0D0D0A, pack("VvvVV", 0x1A2B3C4D, 1, 0, 0xFFFFFFFF, 0xFFFFFFFF));
    print block(1, pack("vvV", 147, 0, 0));
    print record("\x03/dev/ttyUSB0\x009600 8O1\x00one record per frame");
    print record("\x01\x1f\x10\x00\x40\x00\x04\x00");
    print record("\x01\x1f");
    print record("\x01\x1f\x10\x00\x7f\x6f\x1f");
    print record("\x01\x10\x00");
    print event(1002, "CTS Timeout"), event(1003, "DSR Timeout"), event(1006, "Carrier Detect Timeout"),
          event(1009, "Transmit Buffer Full"), event(1234, "Unknown error or event"), event(3, "Change in CTS Detected");
    print record("\x01\x1f\x10\x00\x40\x00\x04\x00\x01\x64");
    print record("\x04");' >"$work/records.pcapng"
cat >"$work/expected" <<'TEXT'
2: Frame cut short
3: Bytes outside a frame
4: An acknowledgement whose sequence number matches no command
5: Bytes outside a frame
6: CTS Timeout
7: DSR Timeout
8: Carrier Detect Timeout
9: Transmit Buffer Full
10: Unknown error or event
11: Change in CTS Detected
12: Frame cut short
TEXT
diff -u "$work/expected" <(experts "$work/records.pcapng") || fail "a fault is not on its own record"
[ "$(decode "$work/records.pcapng" frame.number m2bus.checksum.status _ws.col.Info | sed -n '4p;13p')" = \
  "$(printf '4|1|Ack seq 111\n13||Port closed')" ] ||
    fail "the acknowledgement with checksum 1F or the closing: $(decode "$work/records.pcapng" _ws.col.Info)"

# In one record (as an older capture has it), an acknowledgement whose checksum is the frame id and the
# two bytes after it: the acknowledgement whole, the two bytes outside it, as the tool cuts them.
perl -e '
    sub block { my ($type, $body) = @_; my $len = 12 + length $body; pack("VV", $type, $len) . $body . pack("V", $len) }
    sub record { my $data = shift; my $pad = (4 - length($data) % 4) % 4;
                 block(6, pack("VVVVV", 0, 0, 1, length $data, length $data) . $data . ("\0" x $pad)) }
    print block(0x0A0D0D0A, pack("VvvVV", 0x1A2B3C4D, 1, 0, 0xFFFFFFFF, 0xFFFFFFFF));
    print block(1, pack("vvV", 147, 0, 0));
    print record("\x03/dev/ttyUSB0\x009600 8O1");
    print record("\x01\x1f\x10\x00\x7f\x6f\x1f\x10\x00");
    print record("\x04");' >"$work/one-record.pcapng"
[ "$(decode "$work/one-record.pcapng" m2bus.checksum.status _ws.col.Info | sed -n 2p)" = \
  "1|Ack seq 111; Bytes outside a frame (2)" ] ||
    fail "an acknowledgement with checksum 1F: $(decode "$work/one-record.pcapng" _ws.col.Info | sed -n 2p)"

# A command or the PC's acknowledgement echoed wrong: the echo, whole in its record, says so itself.
for fault in wrong-echo wrong-ack-echo; do
    capture "$work/$fault.pcapng" --paced --fault "$fault"
    echo_faults=$(experts "$work/$fault.pcapng" | grep "The echo differs" | cut -d: -f1)
    [ -n "$echo_faults" ] || fail "$fault: the wrong echo is not flagged: $(experts "$work/$fault.pcapng")"
    for n in $echo_faults; do
        [ "$(decode "$work/$fault.pcapng" _ws.col.Info | sed -n "${n}p" | cut -c1-8)" = "Echo of " ] ||
            fail "$fault: the echo fault is on #$n: $(decode "$work/$fault.pcapng" _ws.col.Info | sed -n "${n}p")"
    done
    ! decode "$work/$fault.pcapng" _ws.col.Info | grep -q "Part of a frame" || fail "$fault: a record is glued to the next"
done

# Two copies of the plugin (a personal one besides the one given): loaded once, without an error.
mkdir -p "$work/home/.local/lib/wireshark/plugins"
cp "$dissector" "$work/home/.local/lib/wireshark/plugins/"
twice=$(HOME=$work/home tshark -X "lua_script:$dissector" -r "$work/rd.pcapng" 2>&1 | grep -v '^Running as user')
grep -qi "error" <<<"$twice" && fail "two copies of the plugin: $twice"
[ "$(grep -c "M2BUS" <<<"$twice")" -eq 22 ] || fail "two copies of the plugin do not decode"

# Every seed of the fuzz corpus, as each kind of record: decoded without a Lua error.
perl -e '
    sub block { my ($type, $body) = @_; my $len = 12 + length $body; pack("VV", $type, $len) . $body . pack("V", $len) }
    sub opt { my ($code, $value) = @_; my $pad = (4 - length($value) % 4) % 4; pack("vv", $code, length $value) . $value . ("\0" x $pad) }
    print block(0x0A0D0D0A, pack("VvvVV", 0x1A2B3C4D, 1, 0, 0xFFFFFFFF, 0xFFFFFFFF) . opt(0, ""));
    print block(1, pack("vvV", 147, 0, 0) . opt(0, ""));
    for my $file (@ARGV) {
        open my $in, "<:raw", $file or die $file; local $/; my $bytes = <$in>;
        for my $kind (0 .. 6) {
            my $data = chr($kind) . $bytes; my $pad = (4 - length($data) % 4) % 4;
            print block(6, pack("VVVVV", 0, 0, 1, length $data, length $data) . $data . ("\0" x $pad));
        }
    }' "$source"/fuzz/corpus/*/* >"$work/corpus.pcapng"
errors=$( { tshark -2 -X "lua_script:$dissector" -r "$work/corpus.pcapng" -V 2>&1
            tshark -2 -X "lua_script:$dissector" -r "$work/corpus.pcapng" 2>&1; } | grep -ciE "lua error|not decoded" || true)
records=$(tshark -X "lua_script:$dissector" -r "$work/corpus.pcapng" 2>/dev/null | wc -l)
[ "$errors" -eq 0 ] || fail "$errors Lua errors on the fuzz corpus"
[ "$records" -gt 0 ] || fail "the fuzz corpus capture was not read"
echo "dissector: the exchange at line speed, a per-read capture, a day of five runs, racks of two and four runs" \
    "sharing one capture, a bad checksum and $records records of the fuzz corpus decoded"
