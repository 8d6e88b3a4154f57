; The morvex installer for 64-bit Windows. makensis gets VERSION, CLI (the path of morvex-cli.exe),
; README and OUTFILE from CMake; DIALOG, the path of morvex.exe, once the Windows dialog exists.
; A silent install or uninstall is /S.

Unicode true
; A 64-bit stub: the installer then runs wherever the programs it carries run, 32-bit support or not.
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "morvex"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "morvex"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${CLI}"
  File "/oname=README.txt" "${README}"
!ifdef DIALOG
  File "${DIALOG}"
  CreateShortCut "$SMPROGRAMS\morvex.lnk" "$INSTDIR\morvex.exe"
!endif
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; Only Windows' own list of installed programs: morvex itself keeps no settings anywhere.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
!ifdef DIALOG
  Delete "$SMPROGRAMS\morvex.lnk"
  Delete "$INSTDIR\morvex.exe"
!endif
  Delete "$INSTDIR\morvex-cli.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  ; Last, and only if empty: whatever else the user put there stays.
  RMDir "$INSTDIR"
SectionEnd
