; An example NSIS installer that installs hosts_entry_tool.exe with a VPN
; client and runs it, for a vendor to copy (see "NSIS installers" in
; docs/shipping.md: a copy needs its own name, folder and uninstall key).
; It is laid out as an Electron packager's installer is: the old version's
; uninstaller runs first, silently; then the files, the uninstaller and the
; uninstall key are put in place; then the customInstall macro runs. The
; uninstaller runs customUnInstall before it removes the files. The three
; hooks below are the lines a vendor adds to an Electron packager's include
; script (customHeader holds .onInstFailed, for the install alone);
; hosts_entry_tool.nsh beside this file holds the macros they use.
;
; Build (makensis 3.08 or later, Debian's nsis package, which has the 64-bit
; stubs):
;   makensis -DVERSION=1.0.0 -DTOOL_EXE=hosts_entry_tool.exe -DOUTFILE=setup.exe hosts_entry_tool.nsi
; Run silently: setup.exe /S [/LOG=FILE]; uninstall silently and wait for
; it: "Uninstall Example VPN Client.exe" /S _?=C:\Program Files\Example VPN Client

!ifndef VERSION | TOOL_EXE | OUTFILE
  !error "define VERSION, TOOL_EXE and OUTFILE (makensis -DVERSION=... -DTOOL_EXE=... -DOUTFILE=...)"
!endif

; A 64-bit installer: its own registry and file views are the 64-bit ones
; (SetRegView 64 and $PROGRAMFILES64 below say so all the same, and keep
; saying it in a copy built for 32-bit stubs). The 32-bit stubs do not run
; under a 64-bit-only Wine.
Unicode true
Target amd64-unicode
; Per machine: the tool needs an administrator's rights to change the hosts
; file, and the uninstall key goes under HKLM.
RequestExecutionLevel admin

; The example's own identity: a copy replaces all four. Two products that
; share an uninstall key run each other's uninstaller on upgrade.
Name "Example VPN Client"
!define PUBLISHER "Example Vendor"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ExampleVpnClient"
!define UNINSTALL_FILENAME "Uninstall Example VPN Client.exe"
InstallDir "$PROGRAMFILES64\Example VPN Client"

OutFile "${OUTFILE}"
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show
Page directory
Page instfiles
UninstPage instfiles

!include LogicLib.nsh

; ---- The lines a vendor adds to an Electron packager's include script ----
!include "hosts_entry_tool.nsh"

!macro customHeader
  !ifndef BUILD_UNINSTALLER
    Function .onInstFailed
      !insertmacro HostsEntryToolInstallFailed "$INSTDIR\${UNINSTALL_FILENAME}"
    FunctionEnd
  !endif
!macroend

!macro customInstall
  !insertmacro HostsEntryToolInstall
!macroend

!macro customUnInstall
  !insertmacro HostsEntryToolUninstall
!macroend
; ---- end of the lines ----

; Where electron-builder's template inserts its customHeader: after its own
; defines (UNINSTALL_FILENAME among them), which an include script comes before.
!insertmacro customHeader

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Install"
  ; An upgrade or a reinstall, the way Electron packagers do it: the
  ; installed version's uninstaller, copied out of its folder and run from
  ; there, silently, in place (_?=, so that it is waited for), with
  ; --updated, which it may use to keep the user's data. Its uninstall takes
  ; the entries out like any other; this install puts them back. Between the
  ; two the client is not installed, and neither are the entries; and should
  ; this install stop before its own tool run, no entries outlive the client.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} ${FileExists} "$0\${UNINSTALL_FILENAME}"
    InitPluginsDir
    CopyFiles /SILENT "$0\${UNINSTALL_FILENAME}" "$PLUGINSDIR\old-uninstaller.exe"
    ; /LOG passed on, so that the log has the whole upgrade (an Electron
    ; packager's own call passes no /LOG: the old uninstaller's lines then go
    ; to its default log, $TEMP\hosts_entry_tool-setup.log).
    !insertmacro HostsEntryToolLogOption
    ClearErrors
    ${If} $HostsEntryToolLog == ""
      ExecWait '"$PLUGINSDIR\old-uninstaller.exe" /S --updated _?=$0' $1
    ${Else}
      ExecWait '"$PLUGINSDIR\old-uninstaller.exe" /S --updated /LOG="$HostsEntryToolLog" _?=$0' $1
    ${EndIf}
    ${If} ${Errors}
    ${OrIf} $1 != "0"
      Abort "The installed version's uninstaller failed ($1)"
    ${EndIf}
    Delete "$0\${UNINSTALL_FILENAME}"
    RMDir "$0"
  ${EndIf}

  ; The uninstaller first: if anything from here on fails, .onInstFailed
  ; runs it to remove the client.
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\${UNINSTALL_FILENAME}"
  File "/oname=hosts_entry_tool.exe" "${TOOL_EXE}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Example VPN Client"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALL_FILENAME}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALL_FILENAME}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; The client's own steps that can fail go before this line, where they
  ; can: a failure after it has entries to take out again.
  !insertmacro customInstall

  ; TEST ONLY: the tests build a copy with this define to have a step after
  ; the tool's run fail. Never define it in a build you ship.
  !ifdef TEST_ONLY_FAIL_AFTER_TOOL
    Abort "TEST_ONLY_FAIL_AFTER_TOOL: a step after the tool's run failed"
  !endif
SectionEnd

Section "Uninstall"
  ; Before the tool's file goes.
  !insertmacro customUnInstall
  Delete "$INSTDIR\hosts_entry_tool.exe"
  Delete "$INSTDIR\${UNINSTALL_FILENAME}"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
