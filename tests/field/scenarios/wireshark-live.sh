# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by FieldTest.sh, with its helpers.
# tshark -i m2bus-com1, Com1 being the virtual phone's tap, while another run drives the phone:
# the capture holds the exchange, decoded by the dissector.
command -v tshark >/dev/null || { echo "tshark is not installed"; exit 77; }
can_mount
extcap=$(tshark -G folders 2>/dev/null | sed -n 's/^Extcap path:[[:space:]]*//p')
[ -d "$extcap" ] || { echo "no extcap folder"; exit 77; }
"$build/kelvra-phone-sim" --quiet --tap --chunks 62/16 >"$work/device" &
pids+=($!)
for _ in $(seq 50); do [ "$(wc -l <"$work/device")" -ge 2 ] && break; sleep 0.1; done
device=$(sed -n 1p "$work/device")
tap=$(sed -n 2p "$work/device")
mkdir "$work/extcap"
ln -s "$(readlink -f "$tool")" "$work/extcap/kelvra-m2bus"
cat >"$work/inside.sh" <<'SCRIPT'
set -eu
tool=$1 device=$2 extcap=$3 ours=$4 work=$5 dissector=$6
mount --bind "$ours" "$extcap"
tshark -D 2>/dev/null | grep -q "m2bus-com1 (M2BUS Com1)"
tshark -X "lua_script:$dissector" -i m2bus-com1 -a duration:4 -w "$work/live.pcapng" >/dev/null 2>&1 &
shark=$!
sleep 1.5
"$tool" --run rd-on --device "$device" >/dev/null
wait $shark
SCRIPT
KELVRA_COM1=$tap unshare -m sh "$work/inside.sh" "$tool" "$device" "$extcap" "$work/extcap" "$work"         "$(dirname "$0")/../../packaging/wireshark/m2bus.lua" || fail "tshark did not list or capture m2bus-com1"
decoded=$(tshark -2 -X "lua_script:$(dirname "$0")/../../packaging/wireshark/m2bus.lua" -r "$work/live.pcapng"         -T fields -e m2bus.checksum.status -e _ws.col.Info 2>/dev/null | grep -c '^1	' || true)
[ "$decoded" -eq 14 ] || fail "the live capture holds $decoded good frames, not 14: $(tshark -r "$work/live.pcapng" 2>&1)"
tshark -2 -X "lua_script:$(dirname "$0")/../../packaging/wireshark/m2bus.lua" -r "$work/live.pcapng" 2>/dev/null |
    grep -q "Reply seq 2 (copy 3 of 3)" || fail "the live capture is not decoded"
echo "tshark -i m2bus-com1 captured and decoded the 14 frames of R&D test On"
