; Installer of the bridge for 64-bit Windows. Built by the CMake target pmrface_installer:
;   makensis -INPUTCHARSET UTF8 -DPROGRAM=<pmrface.exe> -DOUTFILE=<setup.exe> -DVERSION=<x.y> pmrface.nsi
;
; The program installs itself at its first start: it copies "pmrface.exe" from its working
; folder to "%PROGRAMFILES%\kvt\pmr.exe" and points its shortcuts at that copy, and it never
; replaces an existing copy. So the folder is fixed (no folder page), and the installer writes
; pmr.exe as well: otherwise an update would leave the shortcuts starting the old program.
;
; Both programs get an inbound firewall rule named "pmrface": without one the firewall blocks
; the terminal's callbacks on 8090 and the FTP data connections it opens back to the PC, and
; the program, run by a teacher without rights, cannot add it.

Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef PROGRAM
  !error "PROGRAM (the cross-built pmrface.exe) is not defined"
!endif
!ifndef OUTFILE
  !define OUTFILE "pmrface-setup.exe"
!endif
!ifndef VERSION
  !define VERSION "1.0"
!endif

!define APP_NAME "青禾田识颜台"
!define LINK_NAME "朗程汇.lnk"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\pmrface"
!define FIREWALL_RULE "pmrface"
!define EMULATION_KEY "SOFTWARE\Microsoft\Internet Explorer\MAIN\FeatureControl\FEATURE_BROWSER_EMULATION"

Name "${APP_NAME}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\kvt"
ShowInstDetails show
ShowUninstDetails show

Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; netsh through nsExec, so no console window flashes. Its output and exit code go to the
; details; the installer also writes the exit code to setup.log in the installation folder,
; the only trace a silent install leaves. A delete that finds no rule exits 1: no failure.
!macro Netsh ARGS
  nsExec::ExecToLog '"$SYSDIR\netsh.exe" ${ARGS}'
  Pop $0
  DetailPrint `netsh ${ARGS}: exit code $0`
  !ifndef __UNINSTALL__
    FileWrite $9 `netsh ${ARGS}: exit code $0$\r$\n`
  !endif
!macroend

Function .onInit
  ; The 64-bit views of the registry and of Program Files, where a 64-bit program looks.
  SetRegView 64
  StrCpy $INSTDIR "$PROGRAMFILES64\kvt"
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Program"
  SetOutPath "$INSTDIR"
  File "/oname=pmrface.exe" "${PROGRAM}"
  File "/oname=pmr.exe" "${PROGRAM}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The same shortcuts that the first start would place; it leaves existing ones alone.
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  CreateShortCut "$DESKTOP\${LINK_NAME}" "$INSTDIR\pmr.exe"
  CreateShortCut "$SMSTARTUP\${LINK_NAME}" "$INSTDIR\pmr.exe" "20"
  CreateShortCut "$SMPROGRAMS\${APP_NAME}.lnk" "$INSTDIR\pmr.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\pmr.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Firewall"
  FileOpen $9 "$INSTDIR\setup.log" w
  ; Rules of an earlier installation, and every inbound rule for the two programs: a teacher
  ; who dismissed the firewall's prompt left block rules, and block rules win over allow rules.
  !insertmacro Netsh 'advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  !insertmacro Netsh 'advfirewall firewall delete rule name=all dir=in program="$INSTDIR\pmr.exe"'
  !insertmacro Netsh 'advfirewall firewall delete rule name=all dir=in program="$INSTDIR\pmrface.exe"'
  ; Any local port: the terminal's FTP data connections come to a port the program picks.
  !insertmacro Netsh 'advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\pmr.exe" protocol=TCP profile=any enable=yes'
  !insertmacro Netsh 'advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\pmrface.exe" protocol=TCP profile=any enable=yes'
  FileClose $9
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\pmr.exe"
  Delete "$INSTDIR\pmrface.exe"
  ; Written empty by every exit of the program, in its working folder.
  Delete "$INSTDIR\iphist.dat"
  Delete "$INSTDIR\setup.log"
  Delete "$INSTDIR\uninstall.exe"

  ; Both rules carry the name; other rules for the programs were never the installer's.
  !insertmacro Netsh 'advfirewall firewall delete rule name="${FIREWALL_RULE}"'

  SetShellVarContext current
  Delete "$DESKTOP\${LINK_NAME}"
  Delete "$SMSTARTUP\${LINK_NAME}"
  Delete "$SMPROGRAMS\${APP_NAME}.lnk"

  ; The browser emulation values that the program writes under its two file names.
  DeleteRegValue HKLM "${EMULATION_KEY}" "pmr.exe"
  DeleteRegValue HKLM "${EMULATION_KEY}" "pmrface.exe"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ; The configuration (pmrface.ini) and the pictures (pic) are the school's data and stay;
  ; the folder goes only when nothing is left in it.
  RMDir "$INSTDIR"
SectionEnd
