#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One commit gives one Debian package: the commit built again from a clean clone in another folder, by
# another user (as root), with another umask, locale and time zone, and at another time, gives a .deb
# identical byte for byte to the first. A difference is shown (diffoscope's report where it is installed).
#   ReproducibleTest.sh SOURCE_DIR FIRST.deb
set -euo pipefail
source_dir=$(realpath "$1")
first=$(realpath "$2")
source "$(dirname "$0")/../support/Scratch.sh"
chmod 755 "$work"
clone=$work/elsewhere/kelvra-netmon
git clone -q --no-hardlinks "$source_dir" "$clone"
mkdir -p "$work/home"
builder=()
if [ "$(id -u)" -eq 0 ]; then
    chown -R nobody "$work/elsewhere" "$work/home"
    builder=(runuser -u nobody --)
fi
# The commit being tested, also when the work tree has changes the clone cannot see.
[ -z "$(git -C "$source_dir" status --porcelain --untracked-files=no)" ] ||
    { echo "the work tree differs from its commit; commit first"; exit 77; }
sleep 1
(umask 002 && cd "$work" && "${builder[@]}" env HOME="$work/home" TZ=Pacific/Kiritimati LANG=C.UTF-8 LC_ALL=C.UTF-8 \
    "$clone/scripts/package.sh" >"$work/build.log" 2>&1) || { tail -n 30 "$work/build.log"; fail "the second build"; }
second=$(ls "$clone"/build-package/kelvra-netmon_*.deb)
if ! cmp -s "$first" "$second"; then
    if command -v diffoscope >/dev/null; then diffoscope "$first" "$second" | head -n 60; else cmp "$first" "$second"; fi
    fail "two builds of one commit differ"
fi
echo "reproducible: $(basename "$first") built again elsewhere, by $("${builder[@]}" id -un), umask 002, TZ and locale changed: identical ($(sha256sum "$first" | cut -c1-16))"
