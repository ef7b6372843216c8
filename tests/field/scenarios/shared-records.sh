# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by FieldTest.sh, with its helpers.
# A rack on a 64 KiB disk: four runs at once share one log file and one capture while another
# program appends its own lines to the log, and the disk fills during the runs. No line of the
# other program is cut or lost, every line of the log is whole, and the capture reads whole.
can_mount
mkdir "$work/disk"
devices=()
for i in 1 2 3 4; do
    phone --paced
    devices+=("$device")
done
cat >"$work/inside.sh" <<'SCRIPT'
set -u
tool=$1 disk=$2
shift 2
mount -t tmpfs -o size=64k tmpfs "$disk"
# Room for about a run and a half of records.
head -c 57344 /dev/zero >"$disk/filler"
# One process and one write a line (a shell's own echo may write a failed line again later).
( for i in $(seq 400); do
/usr/bin/printf 'other program line %d\n' "$i" >>"$disk/shared.log" && echo "$i" >>"$disk/../other.ok"
done ) 2>/dev/null &
other=$!
runs=()
port=1
for device in "$@"; do
"$tool" --run rd-on --com "$port" --device "$device" --log-file "$disk/shared.log" \
    --capture "$disk/shared.pcapng" >/dev/null 2>>"$disk/../runs.err" &
runs+=($!)
port=$((port + 1))
done
for run in "${runs[@]}"; do wait "$run"; echo "status $?"; done
wait "$other"
cp "$disk/shared.log" "$disk/shared.pcapng" "$disk/.."
SCRIPT
unshare -m bash "$work/inside.sh" "$tool" "$work/disk" "${devices[@]}" >"$work/statuses"
bad=$(grep -v -x -E 'status (0|3)' "$work/statuses" || true)
[ -z "$bad" ] || fail "runs ended with $bad: $(cat "$work/runs.err")"
grep -q "No space left on device" "$work/runs.err" || fail "the disk did not fill: $(cat "$work/statuses")"
# The other program's own lines may be cut by the full disk (its echo said so); nothing else.
strays=$(grep -v -E "$stamped|^other program line [0-9]+$|^o(t(h(e(r( (p(r(o(g(r(a(m( (l(i(n(e( [0-9]*)?)?)?)?)?)?)?)?)?)?)?)?)?)?)?)?)?)?$" \
    "$work/shared.log" || true)
[ -z "$strays" ] || fail "lines cut or glued: $(head -n 5 <<<"$strays")"
# Each line the other program wrote is there once. (One may follow a piece of a run's line that the
# run could not take back because that line came after it: nothing is cut that is not provably the run's.)
# The file may end in the other program's own cut line, which its printf said had failed.
if [ -n "$(tail -c 1 "$work/shared.log")" ]; then sed '$d' "$work/shared.log"; else cat "$work/shared.log"; fi \
    >"$work/ended.log"
while read -r i; do
    [ "$(grep -c "other program line $i\$" "$work/ended.log")" -eq 1 ] ||
        fail "the other program's line $i is lost or doubled: $(grep -n "other program line $i\$" "$work/ended.log")"
done <"$work/other.ok"
readable "$work/shared.pcapng" "damaged"
echo "four runs and another program on one log and capture of a disk that filled:" \
    "$(grep -c . "$work/other.ok") foreign lines kept whole, every line whole, the capture readable"
