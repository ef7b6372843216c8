#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows build under Wine, in a throw-away prefix: --version and --help,
# every VidEvodudi command against the virtual phone through a Wine COM port
# (the same output and status as the Linux build), a faulty phone, a pulled
# cable, phones on a device server (ser2net), listening to the line, paths outside the ANSI code page, two runs
# sharing a log file, the window under Xvfb, the signatures, and the
# installer's silent install (on PATH) and uninstall, on short, long and tricky PATHs.
# Usage: WineTest.sh LINUX_BUILD_DIR WINDOWS_OUT_DIR [SCREENSHOT.png]
set -euo pipefail
linux=$1
out=$2
screenshot=${3:-}
command -v wine >/dev/null || { echo "wine is not installed"; exit 77; }
stage=$(find "$out" -maxdepth 1 -type d -name 'kelvra-netmon-*' ! -name '*-qt-source' | head -n 1)
setup=$(find "$out" -maxdepth 1 -name 'kelvra-netmon-*-win64-setup.exe' | head -n 1)
[ -n "$stage" ] && [ -n "$setup" ] || { echo "no Windows build in $out (scripts/windows.sh)"; exit 1; }
exe=$stage/kelvra-netmon.exe
# The same program for consoles: what a prompt runs for "kelvra-netmon".
console=$stage/kelvra-netmon.com

source "$(dirname "$0")/../support/Scratch.sh"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
scratch_stop() { wineserver -k >/dev/null 2>&1 || true; }
windows() { wine "$@" 2>"$work/wine.err" | tr -d '\r'; }

wine wineboot -i >/dev/null 2>&1

# The program's own words, exactly as on Linux.
for program in "$exe" "$console"; do
    [ "$(windows "$program" --version)" = "kelvra-netmon 1.0.4" ] || fail "--version of $program"
    diff <(windows "$program" --help) <("$linux/kelvra-netmon" --help) || fail "--help differs from the Linux build's"
done

# Virtual phones behind Wine's COM5 (a good one), COM6 (a wrong acknowledgement sequence) and COM7 (silent).
phone() {  # name, options... (not in a subshell: the cleanup stops it)
    local name=$1
    shift
    rm -f "$work/$name"
    "$linux/kelvra-phone-sim" --quiet "$@" >"$work/$name" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 50); do [ "$(wc -l <"$work/$name" 2>/dev/null)" = 1 ] && break; sleep 0.1; done
}
phone good
phone faulty --fault wrong-ack-seq
phone silent --fault silent
phone second
phone pulled --fault no-answer
pulled_pid=${pids[-1]}
# Two phones with a tap, one listened to through Wine, one by the Linux build: each counts its replies from 1.
for tapped in tapped tapped2; do
    phone $tapped --tap --paced
    for _ in $(seq 50); do [ "$(wc -l <"$work/$tapped")" -ge 2 ] && break; sleep 0.1; done
done
good=$(head -n 1 "$work/good")
faulty=$(head -n 1 "$work/faulty")
silent=$(head -n 1 "$work/silent")
for mapping in "COM5 $good" "COM6 $faulty" "COM7 $silent" "COM8 $(head -n 1 "$work/pulled")" \
    "COM9 $(head -n 1 "$work/tapped")" "COM10 $(sed -n 2p "$work/tapped")" "COM11 $(head -n 1 "$work/second")"; do
    set -- $mapping
    wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /d "$2" /f >/dev/null 2>&1
done
# Wine reads its port mapping when its server starts.
wineserver -k >/dev/null 2>&1 || true
wineserver -w

compare() {  # program, COM port, device, command
    local program=$1 status=0 expected=0
    shift
    windows "$program" --run "$3" --com 1 --device "$1" >"$work/windows.out" || status=$?
    "$linux/kelvra-netmon" --run "$3" --device "$2" >"$work/linux.out" 2>/dev/null || expected=$?
    diff "$work/linux.out" "$work/windows.out" || fail "$3 on $1: the output differs from the Linux build's"
    [ "$status" -eq "$expected" ] || fail "$3 on $1: status $status, the Linux build's $expected"
    echo "$(basename "$program") $3 on $1: status $status, $(wc -l <"$work/windows.out") lines as on Linux"
}
for command in operator-on rd-on off reset-timers; do compare "$console" COM5 "$good" "$command"; done
compare "$exe" COM5 "$good" rd-on
compare "$console" COM6 "$faulty" rd-on

# The CPU a receive wait costs under Wine, while the silent phone says nothing; then Ctrl+C (Wine turns
# SIGINT into it) ends the run at once with the port closed.
wine "$console" --run rd-on --device COM7 >/dev/null 2>&1 &
waiting=$!
pids+=($waiting)
sleep 2
process=$(pgrep -f 'kelvra-netmon.com --run rd-on --device COM7' | head -n 1)
ticks() { awk '{ print $14 + $15 }' "/proc/$process/stat"; }
before=$(ticks)
sleep 4
after=$(ticks)
echo "wine_wait_cpu_per_s $(awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.4f", t / hz / 4 }')"
started=$(date +%s%N)
kill -INT "$process"
status=0
wait "$waiting" || status=$?
elapsed=$((($(date +%s%N) - started) / 1000000))
[ "$status" -eq 130 ] || fail "Ctrl+C ended the run with status $status, not 130"
[ "$elapsed" -lt 500 ] || fail "Ctrl+C took $elapsed ms to end the run"
echo "Ctrl+C: status 130 in $elapsed ms"

# vanish DEVICE PID ERRORS: a run waits on DEVICE for two seconds, then PID (its far end) is killed;
# sets the run's status and the milliseconds it took to end.
vanish() {
    wine "$console" --run rd-on --device "$1" >/dev/null 2>"$3" &
    local waiting=$!
    pids+=($waiting)
    sleep 2
    local started
    started=$(date +%s%N)
    kill "$2"
    status=0
    wait "$waiting" || status=$?
    elapsed=$((($(date +%s%N) - started) / 1000000))
}

# A pulled cable: the phone's end closed while a run waits for its answer is a device gone, as on Linux.
vanish COM8 "$pulled_pid" "$work/pulled.err"
[ "$status" -eq 1 ] || fail "a pulled cable ended the run with status $status, not 1"
[ "$elapsed" -lt 5000 ] || fail "a pulled cable took $elapsed ms to be noticed"
tr -d '\r' <"$work/pulled.err" | grep -q "COM8: the device is gone" || fail "a pulled cable: $(cat "$work/pulled.err")"
echo "a pulled cable: the device is gone, status 1 in $elapsed ms"

# A phone on a device server (Debian's ser2net on 127.0.0.1, the line at 115200 8N1 until the tool sets it):
# RFC 2217 and raw TCP as on Linux, a refused connection, and the server gone while a run waits.
if command -v ser2net >/dev/null; then
    phone served
    phone served_local  # the Linux build's runs: ser2net lets go of its device a moment after its client
    phone served_silent --fault silent
    listening() { grep -q " $(printf '0100007F:%04X' "$1") 00000000:0000 0A " /proc/net/tcp; }
    serve() {  # name, device, RFC 2217 port, raw port
        printf '%%YAML 1.1\n---\nconnection: &%s\n  accepter: telnet(rfc2217),tcp,127.0.0.1,%s\n  connector: serialdev,%s,115200n81,local\nconnection: &%sraw\n  accepter: tcp,127.0.0.1,%s\n  connector: serialdev,%s,115200n81,local\n' \
            "$1" "$3" "$2" "$1" "$4" "$2" >"$work/$1.yaml"
        ser2net -n -c "$work/$1.yaml" -P "$work/$1.pid" >/dev/null 2>&1 &
        server=$!
        pids+=($server)
        for _ in $(seq 100); do listening "$3" && listening "$4" && return; sleep 0.05; done
        fail "ser2net did not start"
    }
    base=$((20000 + RANDOM % 30000))
    serve served "$(head -n 1 "$work/served")" "$base" $((base + 1))
    for device in "rfc2217://127.0.0.1:$base" "tcp://127.0.0.1:$((base + 1))"; do
        status=0
        windows "$console" --run rd-on --device "$device" >"$work/windows.out" || status=$?
        "$linux/kelvra-netmon" --run rd-on --device "$(head -n 1 "$work/served_local")" >"$work/linux.out" 2>/dev/null
        [ "$status" -eq 0 ] || fail "rd-on on $device under Wine: status $status: $(cat "$work/wine.err")"
        diff "$work/linux.out" "$work/windows.out" || fail "rd-on on $device: the output differs from the Linux build's"
        sleep 1  # ser2net frees the device of one accepter shortly after its client leaves
    done
    status=0
    windows "$console" --run rd-on --device "rfc2217://127.0.0.1:$((base + 2))" >/dev/null || status=$?
    [ "$status" -eq 1 ] && tr -d '\r' <"$work/wine.err" | grep -q "cannot connect to 127.0.0.1:$((base + 2))" ||
        fail "a refused connection under Wine: status $status: $(cat "$work/wine.err")"
    serve served_silent "$(head -n 1 "$work/served_silent")" $((base + 3)) $((base + 4))
    vanish "rfc2217://127.0.0.1:$((base + 3))" "$server" "$work/gone.err"
    [ "$status" -eq 1 ] && tr -d '\r' <"$work/gone.err" | grep -q "rfc2217://127.0.0.1:$((base + 3)): the device is gone" ||
        fail "the server gone under Wine: status $status: $(cat "$work/gone.err")"
    [ "$elapsed" -lt 1000 ] || fail "the server gone under Wine took $elapsed ms to be noticed"
    echo "device servers under Wine: RFC 2217 and raw TCP as on Linux; refused; the server gone, status 1 in $elapsed ms"
fi

# Listening to the line through Wine's COM10, the virtual phone's tap, as on Linux.
listen() {  # the tapped phone, signal, program and its options: what it prints, without the times
    local tapped=$1 signo=$2
    shift 2
    "$@" --listen >"$work/listen.raw" 2>/dev/null &
    local listener=$!
    pids+=($listener)
    sleep 2
    "$linux/kelvra-netmon" --run rd-on --device "$(head -n 1 "$work/$tapped")" >/dev/null
    sleep 0.5
    # Under Wine the program is the newest process listening; a script's background job ignores SIGINT.
    kill "-$signo" "$(pgrep -f 'kelvra-netmon.* --listen' | tail -n 1)"
    wait "$listener" || true
    tr -d '\r' <"$work/listen.raw" | sed 's/^ *[0-9]* ms  //'
}
listen tapped2 TERM "$linux/kelvra-netmon" --device "$(sed -n 2p "$work/tapped2")" >"$work/listen.linux"
listen tapped INT wine "$console" --device COM10 >"$work/listen.windows"
[ "$(wc -l <"$work/listen.linux")" -eq 14 ] || fail "the Linux listener heard: $(cat "$work/listen.linux")"
diff "$work/listen.linux" "$work/listen.windows" || fail "the Windows listener hears otherwise than the Linux one"
echo "--listen: the 14 frames of R&D test On, as on Linux"

# Paths outside the ANSI code page, and two runs sharing one log file: every line whole.
mkdir -p "$WINEPREFIX/drive_c/Jürgen" "$WINEPREFIX/drive_c/logs"
LC_ALL=C.UTF-8 windows "$console" --run off --device COM5 --log-file 'C:\Jürgen\field.log' \
    --capture 'C:\logs\März.pcapng' >/dev/null || fail "a run with non-ASCII record paths failed"
[ -s "$WINEPREFIX/drive_c/Jürgen/field.log" ] || fail "no log file C:\Jürgen\field.log: $(ls "$WINEPREFIX/drive_c")"
[ -s "$WINEPREFIX/drive_c/logs/März.pcapng" ] || fail "no capture C:\logs\März.pcapng: $(ls "$WINEPREFIX/drive_c/logs")"
wine "$console" --run rd-on --device COM5 --log-file 'C:\logs\shared.log' >/dev/null 2>&1 &
first=$!
wine "$console" --run rd-on --device COM11 --com 2 --log-file 'C:\logs\shared.log' >/dev/null 2>&1 &
second=$!
wait "$first" "$second"
shared=$WINEPREFIX/drive_c/logs/shared.log
[ "$(grep -cE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12}[+-][0-9]{2}:[0-9]{2} Com[12] [^ ]+ ' "$shared")" -eq 14 ] &&
    [ "$(wc -l <"$shared")" -eq 14 ] || fail "two runs sharing a log file: $(cat "$shared")"
echo "non-ASCII paths written under their names; two runs shared a log file, every line whole"

# The window under Xvfb, with its exact caption.
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x600x24 >/dev/null 2>&1 &
pids+=($!)
sleep 1
DISPLAY=$display wine "$exe" >/dev/null 2>&1 &
pids+=($!)
shown=
for _ in $(seq 60); do
    if DISPLAY=$display xwininfo -root -tree 2>/dev/null | grep -q '"      VidEvodudi     "'; then shown=1; break; fi
    sleep 0.5
done
[ -n "$shown" ] || fail "the window with the caption '      VidEvodudi     ' did not appear"
wineserver -k >/dev/null 2>&1 || true
wineserver -w
if [ -n "$screenshot" ]; then
    # In a Wine desktop of its own, which draws the title bar that Xvfb alone has no window manager for.
    DISPLAY=$display wine explorer /desktop=kelvra,520x200 "$exe" >/dev/null 2>&1 &
    pids+=($!)
    sleep 6
    DISPLAY=$display xwd -root -silent >"$work/window.xwd"
    convert "$work/window.xwd" -crop 520x200+0+0 +repage "$screenshot"
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w
fi
echo "the window shows its caption"

# The installer: silent install, the installed program runs, the uninstaller leaves nothing behind.
folder="$WINEPREFIX/drive_c/Program Files/Kelvra Net Monitor Tool"
# Wireshark installed beforehand, as its installer records it.
wireshark="$WINEPREFIX/drive_c/Program Files/Wireshark"
mkdir -p "$wireshark/extcap"
wine reg add 'HKLM\SOFTWARE\Wireshark' /v InstallDir /d 'C:\Program Files\Wireshark' /f >/dev/null 2>&1
wine "$setup" /S >/dev/null 2>&1 || fail "the installer failed"
wineserver -w
[ -f "$folder/kelvra-netmon.exe" ] && [ -f "$folder/platforms/qwindows.dll" ] || fail "the installer put no program there"
[ -f "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Kelvra Net Monitor Tool.lnk" ] ||
    fail "no Start-menu entry"
[ "$(windows "$folder/kelvra-netmon.exe" --version)" = "kelvra-netmon 1.0.4" ] || fail "the installed program does not run"
# On PATH: a console anywhere finds it.
wineserver -w
on_path() { windows cmd /c 'cd /d C:\windows && kelvra-netmon --version' 2>/dev/null; }
[ "$(on_path)" = "kelvra-netmon 1.0.4" ] || fail "the installed program is not on PATH: $(on_path)"
signing=$out/test-signing/cert.pem
if [ -f "$signing" ]; then
    for signed in "$stage/kelvra-netmon.exe" "$stage/kelvra-netmon.com" "$stage/kelvra-window.dll" \
        "$stage/kelvra-core.dll" "$setup" \
        "$folder/uninstall.exe"; do
        osslsigncode verify -CAfile "$signing" -in "$signed" >/dev/null 2>&1 || fail "$(basename "$signed") is not signed"
    done
    echo "the programs, the window module, the shared library, the installer and the uninstaller are signed"
fi

# Wireshark live: the capture source and dissector where Wireshark looks, and a capture through a named
# pipe as Wireshark makes it, ended with TerminateProcess while the line is busy: the file it leaves
# is whole, decoded on Linux, and no process of the source outlives the termination.
user=$(id -un)
personal="$WINEPREFIX/drive_c/users/$user/AppData/Roaming/Wireshark"
[ -f "$personal/extcap/kelvra-m2bus.exe" ] && [ -f "$personal/plugins/m2bus.lua" ] ||
    fail "no capture source or dissector in $personal: $(find "$WINEPREFIX/drive_c/users" -path '*Wireshark*')"
[ -f "$wireshark/extcap/kelvra-m2bus.exe" ] || fail "no capture source in Wireshark's own extcap folder"
windows "$personal/extcap/kelvra-m2bus.exe" --extcap-interfaces | grep -q '^interface {value=m2bus-com1}{display=M2BUS Com1' ||
    fail "the installed capture source lists no interfaces: $(cat "$work/wine.err")"
x86_64-w64-mingw32-g++-posix -O1 -municode -static -o "$work/stand-in.exe" "$(dirname "$0")/WiresharkStandIn.cpp" ||
    fail "the Wireshark stand-in does not build"
# Each round starts once every Wine process of the last one has ended and the Wine server with them,
# as the phases above do, so no round's programs start while the last round's server shuts down.
settled() { timeout 30 wineserver -w || fail "Wine processes outlived the last round: $(pgrep -af '\.exe|\.com')"; }
for cut in 3 6; do
    settled
    rm -f "$WINEPREFIX/drive_c/live.pcapng"
    wine "$work/stand-in.exe" 'C:\users\'"$user"'\AppData\Roaming\Wireshark\extcap\kelvra-m2bus.exe' m2bus-com2 COM10 \
        'C:\live.pcapng' "$cut" >"$work/stand-in.out" 2>"$work/stand-in.err" &
    standin=$!
    pids+=($standin)
    sleep 2
    "$linux/kelvra-netmon" --run rd-on --device "$(head -n 1 "$work/tapped")" >/dev/null || fail "rd-on beside the capture"
    status=0
    wait "$standin" || status=$?
    [ "$status" = 0 ] ||
        fail "Wireshark's stand-in, status $status: $(tr -d '\r' <"$work/stand-in.out") $(tail -n 5 "$work/stand-in.err")"
    tshark -r "$WINEPREFIX/drive_c/live.pcapng" >/dev/null 2>"$work/tshark.err" ||
        fail "the capture cut by TerminateProcess after $cut s is not readable: $(cat "$work/tshark.err")"
    decoded=$(tshark -2 -X "lua_script:$stage/m2bus.lua" -r "$WINEPREFIX/drive_c/live.pcapng" \
        -T fields -e m2bus.checksum.status 2>/dev/null | grep -c '^1$' || true)
    [ "$cut" -lt 6 ] || [ "$decoded" -eq 14 ] || fail "the live capture holds $decoded good frames, not 14"
    ! pgrep -f 'kelvra-netmon.com.*--capture' >/dev/null || fail "the capture outlived TerminateProcess"
    echo "Wireshark live on Windows, cut after $cut s: $(tr -d '\r' <"$work/stand-in.out" | sed 's/^stand-in: //'), $decoded good frames"
done
# Wireshark gone without a word (its end of the pipe closed): the source sees it and ends, the port free.
settled
wine "$work/stand-in.exe" 'C:\users\'"$user"'\AppData\Roaming\Wireshark\extcap\kelvra-m2bus.exe' m2bus-com2 COM10 \
    'C:\live.pcapng' 2 close >"$work/stand-in.out" 2>"$work/stand-in.err" ||
    fail "Wireshark gone, status $?: $(tr -d '\r' <"$work/stand-in.out") $(tail -n 5 "$work/stand-in.err")"
echo "Wireshark gone: $(tr -d '\r' <"$work/stand-in.out" | sed 's/^stand-in: //')"

wine "$folder/uninstall.exe" /S >/dev/null 2>&1
for _ in $(seq 40); do [ -e "$folder" ] || break; sleep 0.5; done
wineserver -w
[ ! -e "$folder" ] || fail "the uninstaller left: $(find "$folder")"
! wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\kelvra-netmon' >/dev/null 2>&1 ||
    fail "the uninstaller left its registry key"
[ -z "$(on_path)" ] || fail "the uninstaller left the program on PATH"
[ ! -e "$personal" ] && [ -z "$(ls "$wireshark/extcap")" ] ||
    fail "the uninstaller left Wireshark's files: $(find "$personal" "$wireshark" 2>/dev/null)"
echo "installed silently, ran, and uninstalled without a trace"

# PATH as engineers' machines have it: long ones, entries that contain the folder's name as text, a
# folder of their own. Each install adds one entry at the end; each uninstall leaves PATH byte for byte.
environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
path_export() {  # the Environment key as reg exports it, in hex: every byte of the value and its type
    rm -f "$WINEPREFIX/drive_c/path.reg"
    wine reg export "$environment" "C:\\path.reg" /y >/dev/null 2>&1 && [ -s "$WINEPREFIX/drive_c/path.reg" ] ||
        { echo "FAILED: the environment cannot be exported" >&2; return 1; }
    od -An -tx1 "$WINEPREFIX/drive_c/path.reg"
}
path_value() { wine reg query "$environment" /v Path 2>/dev/null | tr -d '\r' | sed -n 's/^ *Path *REG_EXPAND_SZ *//p'; }
set_path() { wine reg add "$environment" /v Path /t REG_EXPAND_SZ /d "$1" /f >/dev/null 2>&1; wineserver -w; }
default_path=$(path_value)
[ -n "$default_path" ] || fail "Wine's default PATH cannot be read"
padded() {  # a PATH of exactly $1 characters: Wine's default, references kept unexpanded, then tool folders
    local path="$default_path;%SystemRoot%\\System32\\Wbem" n=0
    while [ ${#path} -lt $(($1 - 40)) ]; do path+=";C:\\Tools\\vendor-sdk-$n\\bin"; n=$((n + 1)); done
    path+=";C:\\Last"
    while [ ${#path} -lt "$1" ]; do path+="x"; done
    printf '%s' "$path"
}
path_case() {  # name, PATH before (empty: Wine's default), install folder (empty: the default one)
    local name=$1 before=$2 dir=${3:-}
    [ -z "$before" ] || set_path "$before"
    before=$(path_value)
    local exported
    exported=$(path_export) || exit 1
    local expected="$before;${dir:-C:\\Program Files\\Kelvra Net Monitor Tool}"
    local args=(/S)
    [ -z "$dir" ] || args+=("/D=$dir")
    for round in 1 2; do
        wine "$setup" "${args[@]}" >/dev/null 2>&1 || fail "$name: install $round failed"
        wineserver -w
        [ "$(path_value)" = "$expected" ] || fail "$name: PATH after install $round: $(path_value)"
    done
    wine "$(winepath -u "${dir:-C:\\Program Files\\Kelvra Net Monitor Tool}")/uninstall.exe" /S >/dev/null 2>&1
    wineserver -w
    [ "$(path_export)" = "$exported" ] || fail "$name: PATH after uninstall: $(path_value)"
    echo "PATH of $name: one entry added, then back byte for byte (${#before} characters)"
}
path_case "Wine's default" ""
for length in 1000 1023 1104 4000; do path_case "$length characters" "$(padded "$length")"; done
path_case "entries under the install folder" "$default_path;C:\\Tools\\git\\cmd;C:\\Tools\\python311" 'C:\Tools'
path_case "a folder named like the tool's" "$default_path;C:\\Program Files\\Kelvra Net Monitor Tool Beta\\bin"
# The folder already on PATH (another case, a trailing backslash): left there, by the install and the uninstall.
set_path "$default_path;c:\\program files\\kelvra net monitor tool\\"
kept=$(path_export) || exit 1
wine "$setup" /S >/dev/null 2>&1 && wineserver -w
[ "$(path_value)" = "$default_path;c:\\program files\\kelvra net monitor tool\\" ] || fail "an entry already there was added again"
wine "$folder/uninstall.exe" /S >/dev/null 2>&1
wineserver -w
[ "$(path_export)" = "$kept" ] || fail "the uninstaller took off an entry it had not added: $(path_value)"
echo "a PATH that held the folder before installing holds it after uninstalling"
