#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes THIRD-PARTY.txt for the Windows packages to standard output: what they bundle, with its
# version and licence, where the exact source of the Qt that was built comes from, then the full
# licence texts, taken from this machine's Debian packages so that they are the ones of what was built.
#   notices.sh QT_VERSION SOURCE_FOLDER_NAME
set -euo pipefail
qt=$1
source_folder=$2
gcc=$(dpkg-query -W -f='${Version}' gcc-mingw-w64-x86-64-posix)
mingw=$(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev)
rule() { printf '\n%s\n%s\n\n' "$1" "$(printf '%*s' "${#1}" '' | tr ' ' '=')"; }

cat <<TEXT
Kelvra Net Monitor Tool for Windows: third-party components
===========================================================

Kelvra Net Monitor Tool itself is under the MIT licence (LICENSE.txt). These
packages also carry the following, each under its own licence, whose full
text is below.

- Qt $qt (Qt6Core.dll, Qt6Gui.dll, Qt6Widgets.dll, Qt6Network.dll,
  platforms/qwindows.dll, styles/qwindowsvistastyle.dll): the Qt Company and
  contributors, under the GNU Lesser General Public License version 3
  (LGPL-3.0), which is a set of additional permissions on the GNU General
  Public License version 3 (GPL-3.0). Built from Debian's source package
  qt6-base $qt, unchanged, by scripts/windows-qt.sh of this tool's source
  (Core, Gui, Widgets and Network with the windows platform and style
  plugins; Qt's own copies of zlib, libpng, PCRE2 and HarfBuzz). Debian's
  record of the licences of every file of that source follows below.
- The GCC run-time libraries, GCC $gcc (libstdc++-6.dll,
  libgcc_s_seh-1.dll, and the parts GCC puts into every program it
  compiles): the Free Software Foundation, under the GNU General Public
  License version 3 with the GCC Runtime Library Exception, version 3.1.
- MinGW-w64 $mingw: winpthreads (libwinpthread-1.dll) and the run-time
  that kelvra-m2bus.exe and the installer's kelvra-path.exe carry inside
  them: the mingw-w64 project and others, under the licences Debian's record
  of the mingw-w64 source lists below (winpthreads: the MIT licence, its
  pthread.h the BSD licence of Lockless Inc.; the run-time: the Zope Public
  License 2.1 and public domain).

The source of Qt
----------------
The exact source of the Qt in these packages is Debian's source package
qt6-base $qt: the files qt6-base_$qt.dsc, the .orig tarball and the
.debian tarball it names. They are in the folder $source_folder next to
these packages, with windows-qt.sh, the script that configured and built
them; the build changes no file of the source. They can also be had with
"apt-get source qt6-base=$qt" from Debian. To rebuild Qt for Windows, run
scripts/windows-qt.sh from this tool's source on Debian 12.
TEXT
rule "GNU Lesser General Public License, version 3"
cat /usr/share/common-licenses/LGPL-3
rule "GNU General Public License, version 3"
cat /usr/share/common-licenses/GPL-3
rule "GCC Runtime Library Exception, version 3.1"
awk '/^GCC RUNTIME LIBRARY EXCEPTION$/ { on = 1 } on && /^libquadmath/ { exit } on' \
    /usr/share/doc/gcc-mingw-w64-base/copyright
rule "Qt: Debian's record of the licences of qt6-base $qt"
cat /usr/share/doc/libqt6core6/copyright
rule "MinGW-w64: Debian's record of the licences of mingw-w64 $mingw (winpthreads and the run-time)"
cat /usr/share/doc/mingw-w64-x86-64-dev/copyright
