; SPDX-License-Identifier: MIT
; The Windows installer of Kelvra Net Monitor Tool, made with makensis:
;   makensis -DVERSION=1.0.4 -DSTAGE=<staged files> -DTOOLS=<kelvra-path.exe's folder> -DOUTFILE=<setup.exe> installer.nsi
; A silent install: setup.exe /S (and /D=<folder> last, to choose the folder).
Unicode true
Target amd64-unicode
!include "MUI2.nsh"
!include "x64.nsh"
!include "LogicLib.nsh"

Name "Kelvra Net Monitor Tool ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kelvra Net Monitor Tool"
InstallDirRegKey HKLM "Software\Kelvra\kelvra-netmon" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kelvra-netmon"

; Signed as it is written, and so is its uninstaller (makensis -DSIGN=<command signing a file in place>).
!ifdef SIGN
  !finalize '"${SIGN}" "%1"' = 0
  !uninstfinalize '"${SIGN}" "%1"' = 0
!endif
!define MUI_ICON "${STAGE}\..\build\kelvra-netmon.ico"
!define MUI_UNICON "${STAGE}\..\build\kelvra-netmon.ico"
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "Kelvra Net Monitor Tool"
  SetRegView 64
  SetOutPath "$INSTDIR"
  File "${STAGE}\kelvra-netmon.exe"
  File "${STAGE}\kelvra-netmon.com"
  File "${STAGE}\kelvra-window.dll"
  File "${STAGE}\kelvra-core.dll"
  File "${STAGE}\Qt6Core.dll"
  File "${STAGE}\Qt6Gui.dll"
  File "${STAGE}\Qt6Widgets.dll"
  File "${STAGE}\Qt6Network.dll"
  File "${STAGE}\libgcc_s_seh-1.dll"
  File "${STAGE}\libstdc++-6.dll"
  File "${STAGE}\libwinpthread-1.dll"
  File "${STAGE}\LICENSE.txt"
  File "${STAGE}\THIRD-PARTY.txt"
  File "${STAGE}\m2bus.lua"
  SetOutPath "$INSTDIR\platforms"
  File "${STAGE}\platforms\qwindows.dll"
  SetOutPath "$INSTDIR\styles"
  File "${STAGE}\styles\qwindowsvistastyle.dll"
  SetOutPath "$INSTDIR"
  File "${STAGE}\kelvra-m2bus.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; Wireshark's M2BUS capture source and dissector where Wireshark looks for them: the installing
  ; user's own extcap and plugin folders, and Wireshark's extcap folder when Wireshark is installed.
  SetShellVarContext current
  SetOutPath "$APPDATA\Wireshark\extcap"
  File "${STAGE}\kelvra-m2bus.exe"
  SetOutPath "$APPDATA\Wireshark\plugins"
  File "${STAGE}\m2bus.lua"
  ClearErrors
  ReadRegStr $4 HKLM "SOFTWARE\Wireshark" "InstallDir"
  ${IfNot} ${Errors}
  ${AndIf} $4 != ""
  ${AndIf} ${FileExists} "$4\*.*"
    SetOutPath "$4\extcap"
    File "${STAGE}\kelvra-m2bus.exe"
    WriteRegStr HKLM "Software\Kelvra\kelvra-netmon" "WiresharkExtcap" "$4\extcap"
  ${EndIf}
  SetOutPath "$INSTDIR"
  SetShellVarContext all
  CreateShortcut "$SMPROGRAMS\Kelvra Net Monitor Tool.lnk" "$INSTDIR\kelvra-netmon.exe"
  ReadRegStr $3 HKLM "Software\Kelvra\kelvra-netmon" "InstallDir"
  WriteRegStr HKLM "Software\Kelvra\kelvra-netmon" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kelvra Net Monitor Tool"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kelvra"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kelvra-netmon.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; The install folder at the end of the system PATH, once, so that a console finds kelvra-netmon.
  ; kelvra-path edits it as a list of entries at any length (the installer's own strings would cut it);
  ; whether this install added the entry is kept, so that the uninstaller takes off only what it added.
  ClearErrors
  ReadRegDWORD $2 HKLM "Software\Kelvra\kelvra-netmon" "PathAdded"
  ${If} ${Errors}
    ; Not recorded: an earlier version's install in this folder added the entry it finds.
    ${If} $3 == "$INSTDIR"
      StrCpy $2 1
    ${Else}
      StrCpy $2 0
    ${EndIf}
  ${EndIf}
  InitPluginsDir
  File "/oname=$PLUGINSDIR\kelvra-path.exe" "${TOOLS}\kelvra-path.exe"
  ExecWait '"$PLUGINSDIR\kelvra-path.exe" add "$INSTDIR"' $0
  ${If} $0 == 0
    StrCpy $2 1
  ${ElseIf} $0 != 3
    DetailPrint "PATH was not changed: add $INSTDIR to it by hand"
  ${EndIf}
  WriteRegDWORD HKLM "Software\Kelvra\kelvra-netmon" "PathAdded" $2
SectionEnd

; Removes exactly what the installer put there.
Section "Uninstall"
  SetRegView 64
  SetShellVarContext all
  Delete "$SMPROGRAMS\Kelvra Net Monitor Tool.lnk"
  Delete "$INSTDIR\platforms\qwindows.dll"
  RMDir "$INSTDIR\platforms"
  Delete "$INSTDIR\styles\qwindowsvistastyle.dll"
  RMDir "$INSTDIR\styles"
  Delete "$INSTDIR\kelvra-netmon.exe"
  Delete "$INSTDIR\kelvra-netmon.com"
  Delete "$INSTDIR\kelvra-window.dll"
  Delete "$INSTDIR\kelvra-core.dll"
  Delete "$INSTDIR\Qt6Core.dll"
  Delete "$INSTDIR\Qt6Gui.dll"
  Delete "$INSTDIR\Qt6Widgets.dll"
  Delete "$INSTDIR\Qt6Network.dll"
  Delete "$INSTDIR\libgcc_s_seh-1.dll"
  Delete "$INSTDIR\libstdc++-6.dll"
  Delete "$INSTDIR\libwinpthread-1.dll"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\THIRD-PARTY.txt"
  Delete "$INSTDIR\m2bus.lua"
  Delete "$INSTDIR\kelvra-m2bus.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; The PATH entry, only if the install added it: every other entry and byte stays.
  ReadRegDWORD $0 HKLM "Software\Kelvra\kelvra-netmon" "PathAdded"
  ${If} $0 == 1
    InitPluginsDir
    File "/oname=$PLUGINSDIR\kelvra-path.exe" "${TOOLS}\kelvra-path.exe"
    ExecWait '"$PLUGINSDIR\kelvra-path.exe" remove "$INSTDIR"' $1
    ${If} $1 != 0
    ${AndIf} $1 != 3
      DetailPrint "PATH was not changed: take $INSTDIR off it by hand"
    ${EndIf}
  ${EndIf}
  ; The capture source and dissector: the uninstalling user's copies, and the one in Wireshark's folder.
  SetShellVarContext current
  Delete "$APPDATA\Wireshark\extcap\kelvra-m2bus.exe"
  Delete "$APPDATA\Wireshark\plugins\m2bus.lua"
  RMDir "$APPDATA\Wireshark\extcap"
  RMDir "$APPDATA\Wireshark\plugins"
  RMDir "$APPDATA\Wireshark"
  SetShellVarContext all
  ReadRegStr $0 HKLM "Software\Kelvra\kelvra-netmon" "WiresharkExtcap"
  ${If} $0 != ""
    Delete "$0\kelvra-m2bus.exe"
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Kelvra\kelvra-netmon"
  DeleteRegKey /ifempty HKLM "Software\Kelvra"
SectionEnd
