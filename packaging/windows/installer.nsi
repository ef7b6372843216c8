; SPDX-License-Identifier: MIT
; The Windows installer of Kelvra Net Monitor Tool, made with makensis:
;   makensis -DVERSION=1.0.4 -DSTAGE=<staged files> -DOUTFILE=<setup.exe> installer.nsi
; A silent install: setup.exe /S (and /D=<folder> last, to choose the folder).
Unicode true
Target amd64-unicode
!include "MUI2.nsh"
!include "x64.nsh"
!include "LogicLib.nsh"
!include "StrFunc.nsh"
!include "WinMessages.nsh"
${StrRep}
${UnStrRep}

Name "Kelvra Net Monitor Tool ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kelvra Net Monitor Tool"
InstallDirRegKey HKLM "Software\Kelvra\kelvra-netmon" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kelvra-netmon"
; Where Windows keeps every user's PATH.
!define ENVIRONMENT "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

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
  File "${STAGE}\Qt6Core.dll"
  File "${STAGE}\Qt6Gui.dll"
  File "${STAGE}\Qt6Widgets.dll"
  File "${STAGE}\libgcc_s_seh-1.dll"
  File "${STAGE}\libstdc++-6.dll"
  File "${STAGE}\libwinpthread-1.dll"
  File "${STAGE}\LICENSE.txt"
  File "${STAGE}\m2bus.lua"
  SetOutPath "$INSTDIR\platforms"
  File "${STAGE}\platforms\qwindows.dll"
  SetOutPath "$INSTDIR\styles"
  File "${STAGE}\styles\qwindowsvistastyle.dll"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  SetShellVarContext all
  CreateShortcut "$SMPROGRAMS\Kelvra Net Monitor Tool.lnk" "$INSTDIR\kelvra-netmon.exe"
  WriteRegStr HKLM "Software\Kelvra\kelvra-netmon" "InstallDir" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kelvra Net Monitor Tool"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kelvra"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kelvra-netmon.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; The install folder at the end of every user's PATH, once, so that a console finds kelvra-netmon.
  ; A PATH too long for the installer's strings is left alone rather than cut.
  ReadRegStr $0 HKLM "${ENVIRONMENT}" "Path"
  StrLen $1 "$0;$INSTDIR"
  ${If} $1 < ${NSIS_MAX_STRLEN}
    ${StrRep} $0 "$0" ";$INSTDIR" ""
    ${If} $0 == ""
      StrCpy $0 "$INSTDIR"
    ${ElseIf} $0 != "$INSTDIR"
      StrCpy $0 "$0;$INSTDIR"
    ${EndIf}
    WriteRegExpandStr HKLM "${ENVIRONMENT}" "Path" "$0"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${Else}
    DetailPrint "PATH is too long to change here: add $INSTDIR to it by hand"
  ${EndIf}
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
  Delete "$INSTDIR\Qt6Core.dll"
  Delete "$INSTDIR\Qt6Gui.dll"
  Delete "$INSTDIR\Qt6Widgets.dll"
  Delete "$INSTDIR\libgcc_s_seh-1.dll"
  Delete "$INSTDIR\libstdc++-6.dll"
  Delete "$INSTDIR\libwinpthread-1.dll"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\m2bus.lua"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  ; Exactly the PATH entry the installer added, and nothing else.
  ReadRegStr $0 HKLM "${ENVIRONMENT}" "Path"
  StrLen $1 $0
  ${If} $1 < ${NSIS_MAX_STRLEN}
    ${UnStrRep} $0 "$0" ";$INSTDIR" ""
    ${If} $0 == "$INSTDIR"
      StrCpy $0 ""
    ${EndIf}
    WriteRegExpandStr HKLM "${ENVIRONMENT}" "Path" "$0"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Kelvra\kelvra-netmon"
  DeleteRegKey /ifempty HKLM "Software\Kelvra"
SectionEnd
