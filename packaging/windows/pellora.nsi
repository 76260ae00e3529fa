; The Windows installer: a per-user install of the deployed folder, a Start-menu
; entry, an uninstaller listed in "Apps & features", and the pellora:// scheme.
; makensis -DVERSION=X.Y.Z -DSTAGE=deployed-folder -DSOURCE=source-tree -DOUTFILE=setup.exe pellora.nsi
; Silent with /S, both ways.
; A 64-bit installer for a 64-bit program (and wine64 runs it).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include "MUI2.nsh"

!define APP "Pellora"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Pellora"
!define SCHEME_KEY "Software\Classes\pellora"

Name "${APP}"
OutFile "${OUTFILE}"
; Per user: no administrator prompt, and nothing outside the user's profile.
InstallDir "$LOCALAPPDATA\Programs\Pellora"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${APP}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${APP} setup"
VIAddVersionKey "CompanyName" "Zentho"
VIAddVersionKey "LegalCopyright" "Zentho"

!define MUI_ICON "${SOURCE}\resources\logo.ico"
!define MUI_UNICON "${SOURCE}\resources\logo.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\pellora.exe"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Pellora"
  SetOutPath "$INSTDIR"
  ; The deployed folder whole: the program, Qt, its plugins, the runtime, and
  ; wintun.dll when the build had one.
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\pellora.exe"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Zentho"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\pellora.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

  ; Invite links open the program (a running one takes the link over).
  WriteRegStr HKCU "${SCHEME_KEY}" "" "URL:Pellora invite"
  WriteRegStr HKCU "${SCHEME_KEY}" "URL Protocol" ""
  WriteRegStr HKCU "${SCHEME_KEY}\DefaultIcon" "" "$INSTDIR\pellora.exe,0"
  WriteRegStr HKCU "${SCHEME_KEY}\shell\open\command" "" '"$INSTDIR\pellora.exe" "%1"'
SectionEnd

; Takes away what the installer put down; the player's settings
; (HKCU\Software\Zentho\Launcher) stay for a later install.
Section "Uninstall"
  Delete "$SMPROGRAMS\${APP}.lnk"
  DeleteRegKey HKCU "${SCHEME_KEY}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ; The folder last: once it is gone, so is everything else.
  Delete "$INSTDIR\pellora.exe"
  Delete "$INSTDIR\wintun.dll"
  Delete "$INSTDIR\Qt6*.dll"
  Delete "$INSTDIR\libstdc++-6.dll"
  Delete "$INSTDIR\libgcc_s_seh-1.dll"
  Delete "$INSTDIR\libwinpthread-1.dll"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\tls"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\imageformats"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
