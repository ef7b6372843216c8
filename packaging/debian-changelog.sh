#!/bin/sh
# SPDX-License-Identifier: MIT
# Writes the Debian changelog of the package made from CHANGELOG.md: each
# "## <version> (<yyyy-mm-dd>)" section becomes an entry, each "- " item a
# bullet, wrapped for the changelog's 80 columns.
#   debian-changelog.sh CHANGELOG.md PACKAGE "NAME <ADDRESS>"
set -eu
changelog=$1 package=$2 maintainer=$3

entry_end() {
    [ -n "$version" ] || return 0
    flush_item
    printf '\n -- %s  %s\n\n' "$maintainer" "$(LC_ALL=C date -u -R -d "$date 12:00")"
}
flush_item() {
    [ -n "$item" ] || return 0
    printf '%s\n' "$item" | fold -s -w 74 | sed '1s/^/  * /; 2,$s/^/    /; s/ *$//'
    item=
}

version= date= item=
while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
        "## "*)
            entry_end
            version=$(printf '%s' "$line" | sed 's/^## \([^ ]*\) (\(.*\))$/\1/')
            date=$(printf '%s' "$line" | sed 's/^## \([^ ]*\) (\(.*\))$/\2/')
            printf '%s (%s) unstable; urgency=medium\n\n' "$package" "$version" ;;
        "- "*) flush_item; item=$(printf '%s' "${line#- }" | tr -d '`') ;;
        "  "*) [ -n "$item" ] && item="$item $(printf '%s' "$line" | sed 's/^ *//' | tr -d '`')" ;;
        *) flush_item ;;
    esac
done < "$changelog"
entry_end
