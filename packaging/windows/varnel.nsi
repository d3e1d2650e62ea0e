; The Windows installer of the download bench: the programs, the boot loader's driver file (shipped
; only, not installed: the driver is unsigned), a Start-menu entry and an uninstaller. Built by
; packaging/windows/CMakeLists.txt:
;   makensis -DVERSION=2.11 -DDOWNLOADER=path\varnel-downloader.exe [-DCLI=path\varnel-cli.exe]
;            -DINF=path\varnel-bootloader.inf -DLICENSE=path\LICENSE -DOUTFILE=setup.exe varnel.nsi
; Silent use: setup.exe /S [/D=folder]; uninstall.exe /S.
; A 64-bit installer: it starts on 64-bit Windows only, as the programs do.
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "Varnel Downloader"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VarnelDownloader"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
ShowInstDetails show
CompletedText "Completed. The boot-loader driver file varnel-bootloader.inf is in the install folder."

LicenseData "${LICENSE}"
Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
  SetRegView 64
FunctionEnd

Section "Programs"
  SetOutPath "$INSTDIR"
  File "/oname=varnel-downloader.exe" "${DOWNLOADER}"
!ifdef CLI
  File "/oname=varnel-cli.exe" "${CLI}"
!endif
  File "/oname=varnel-bootloader.inf" "${INF}"
  File "/oname=LICENSE.txt" "${LICENSE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} (simulated bench).lnk" \
                 "$INSTDIR\varnel-downloader.exe" "--simulate 8"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Varnel Downloader developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  DetailPrint "The boot-loader driver file is $INSTDIR\varnel-bootloader.inf (not installed)."
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} (simulated bench).lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  Delete "$INSTDIR\varnel-downloader.exe"
  Delete "$INSTDIR\varnel-cli.exe"
  Delete "$INSTDIR\varnel-bootloader.inf"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
