; The Windows installer: a per-user install that needs no administrator rights.
;   makensis -DVERSION=x.y.z -DSTAGE=<portable folder> -DOUTFILE=<setup.exe> velmora.nsi
; The standard switches work: /S installs silently, /D=<folder> (last, unquoted) sets the folder.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include "MUI2.nsh"
!include "LogicLib.nsh"

!ifndef VERSION
  !error "VERSION is not defined"
!endif
!ifndef STAGE
  !error "STAGE (the portable folder) is not defined"
!endif
!ifndef OUTFILE
  !define OUTFILE "velmora-${VERSION}-setup.exe"
!endif

!define APP "Velmora"
!define PUBLISHER "Orvanne"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; A hidden window that every running Velmora has (its display watcher).
!define RUNNING_CLASS "VelmoraDisplayWatcher"

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${APP} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${APP}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${APP} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "MIT licence, see LICENSE"

!define MUI_ICON "${__FILEDIR__}\..\..\velmora.ico"
!define MUI_UNICON "${__FILEDIR__}\..\..\velmora.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\velmora.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString Running ${LANG_ENGLISH} "Velmora is running. Exit it from the menu of its icon in the notification area (Exit), then choose Retry."
LangString Running ${LANG_SIMPCHINESE} "Velmora 正在运行。请在通知区域图标的菜单中选择“退出”，然后点“重试”。"

; Files in use cannot be replaced or removed: the user closes Velmora first. A silent run
; cannot ask, so it fails (exit code 2) rather than leave a half-replaced folder.
!macro WaitUntilClosed
  ${Do}
    FindWindow $0 "${RUNNING_CLASS}"
    ${If} $0 == 0
      ${Break}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(Running)" /SD IDCANCEL IDRETRY +2
    Abort
  ${Loop}
!macroend

Function .onInit
  SetShellVarContext current
  !insertmacro WaitUntilClosed
FunctionEnd

Function un.onInit
  SetShellVarContext current
  !insertmacro WaitUntilClosed
FunctionEnd

Section "Velmora"
  SetOutPath "$INSTDIR"
  ; Over an older version its files are replaced in place.
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\velmora.exe" "" "$INSTDIR\velmora.exe" 0

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\velmora.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  ; The log-on entry would otherwise start a program that is gone. The settings stay.
  DeleteRegValue HKCU "${RUN_KEY}" "${APP}"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\translations"
  Delete "$INSTDIR\*.dll"
  Delete "$INSTDIR\velmora.exe"
  Delete "$INSTDIR\velmoractl.exe"
  Delete "$INSTDIR\qt.conf"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE"
  Delete "$INSTDIR\uninstall.exe"
  ; Only if empty: nothing the user put there is removed.
  RMDir "$INSTDIR"
SectionEnd
