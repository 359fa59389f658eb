; hosts_entry_tool.nsh: runs hosts_entry_tool.exe from an NSIS installer and
; its uninstaller so that the two entries are in the hosts file exactly while
; the client is installed. NSIS has no transaction and no rollback: these
; macros check every run, and the install undoes by hand what it did.
;
; Included by the example installer, hosts_entry_tool.nsi beside this file,
; and by a vendor's Electron packager include script. docs/shipping.md,
; section "NSIS installers", says where each macro goes and why; copy this
; file as it is. Macros only, no functions: a function that one of the
; packager's two builds (installer, uninstaller) never calls is a warning,
; and Electron packagers treat warnings as errors. electron-builder compiles
; the uninstaller on its own, with BUILD_UNINSTALLER defined: what only the
; install uses is left out of that build, where a variable never set is
; warning 6001.
;
; Every run of the tool appends the line the details list shows to a log
; file, with the local time and the transaction before it, as msiexec /l*v
; does for the MSI example: the file the command line names with /LOG=FILE,
; or else $TEMP\hosts_entry_tool-setup.log, so that a silent run that failed
; (a deployment tool's, an updater's) leaves its reason somewhere.

!ifndef HOSTS_ENTRY_TOOL_NSH
!define HOSTS_ENTRY_TOOL_NSH

!include LogicLib.nsh
!include FileFunc.nsh

; Where the installer put the tool. A packager that places it elsewhere
; (in resources\, say) defines this before including the file.
!ifndef HOSTS_ENTRY_TOOL
  !define HOSTS_ENTRY_TOOL "$INSTDIR\hosts_entry_tool.exe"
!endif

Var HostsEntryToolStatus  ; as nsExec gives it: "0", "-1", or "error"
Var HostsEntryToolLine    ; what the last run did, in one line
Var HostsEntryToolText    ; scratch
Var HostsEntryToolLog     ; the file /LOG= names, or ""
Var HostsEntryToolWhen    ; the local time of the last run, 2026-12-09 14:03:07
Var HostsEntryToolTransaction  ; what the log says is going on: "install 1.0.1", ...
!ifndef BUILD_UNINSTALLER
  Var HostsEntryToolRan   ; "1" once this install has run --install-dns
!endif

; Sets $HostsEntryToolLog to the file the command line's /LOG= names, or "".
; Typed as /LOG="C:\Some Folder\setup.log" where the name has spaces.
!macro HostsEntryToolLogOption
  ${GetParameters} $HostsEntryToolText
  ClearErrors
  ${GetOptions} $HostsEntryToolText "/LOG=" $HostsEntryToolLog
  ${If} ${Errors}
    StrCpy $HostsEntryToolLog ""
  ${EndIf}
!macroend

; Sets $HostsEntryToolWhen to the local time; the registers are kept.
!macro HostsEntryToolNow
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  ${GetTime} "" "L" $0 $1 $2 $3 $3 $4 $5
  StrCpy $HostsEntryToolWhen "$2-$1-$0 $3:$4:$5"
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
!macroend

; Runs the tool with OPTION without a window (a console program started by
; ExecWait opens one) and sets $HostsEntryToolStatus and the line
;   HostsEntryTool: "C:\...\hosts_entry_tool.exe" --install-dns exited with -1 (4294967295): hosts_entry_tool: ...
; which goes to the details list and, after the time and
; $HostsEntryToolTransaction, to the log file. nsExec gives the
; tool's -1 as "-1", ExecWait as "4294967295": the line has both, as
; QuietExec's has in the MSI example. Success is "0" and nothing else: an
; integer comparison (IntCmp, <>) would take "error" for 0. No /TIMEOUT:
; the tool bounds its own waits (half a minute for a program that holds the
; hosts file), and a run cut short here would leave its outcome unknown.
!macro HostsEntryToolRun OPTION
  !insertmacro HostsEntryToolNow
  nsExec::ExecToStack '"${HOSTS_ENTRY_TOOL}" ${OPTION}'
  Pop $HostsEntryToolStatus
  Pop $HostsEntryToolText
  ; The tool's one line, without the CR LF it ends with.
  ${Do}
    StrCpy $HostsEntryToolLine $HostsEntryToolText 1 -1
    ${If} $HostsEntryToolLine != "$\r"
    ${AndIf} $HostsEntryToolLine != "$\n"
      ${Break}
    ${EndIf}
    StrCpy $HostsEntryToolText $HostsEntryToolText -1
  ${Loop}
  ${If} $HostsEntryToolStatus == "error"
  ${OrIf} $HostsEntryToolStatus == "timeout"
    StrCpy $HostsEntryToolLine 'HostsEntryTool: "${HOSTS_ENTRY_TOOL}" ${OPTION} could not be run ($HostsEntryToolStatus)'
  ${Else}
    IntFmt $HostsEntryToolLine "%u" $HostsEntryToolStatus
    StrCpy $HostsEntryToolLine 'HostsEntryTool: "${HOSTS_ENTRY_TOOL}" ${OPTION} exited with $HostsEntryToolStatus ($HostsEntryToolLine)'
    ${If} $HostsEntryToolText != ""
      StrCpy $HostsEntryToolLine "$HostsEntryToolLine: $HostsEntryToolText"
    ${EndIf}
  ${EndIf}
  DetailPrint "$HostsEntryToolLine"
  !insertmacro HostsEntryToolLogOption
  ${If} $HostsEntryToolLog == ""
    StrCpy $HostsEntryToolText "$TEMP\hosts_entry_tool-setup.log"
  ${Else}
    StrCpy $HostsEntryToolText "$HostsEntryToolLog"
  ${EndIf}
  ClearErrors
  FileOpen $HostsEntryToolText "$HostsEntryToolText" a
  ${IfNot} ${Errors}
    FileSeek $HostsEntryToolText 0 END
    FileWrite $HostsEntryToolText "$HostsEntryToolWhen $HostsEntryToolTransaction: $HostsEntryToolLine$\r$\n"
    FileClose $HostsEntryToolText
  ${EndIf}
!macroend

; The version in the log's transaction, where the script defines one.
!ifdef VERSION
  !define /ifndef HOSTS_ENTRY_TOOL_VERSION " ${VERSION}"
!else
  !define /ifndef HOSTS_ENTRY_TOOL_VERSION ""
!endif

; In the uninstall, before the tool's file is removed: takes the entries
; out. A failure never blocks removing the client (as in the MSI example,
; which ignores it): the line is shown and logged, the entries stay, and the
; uninstaller goes on and exits 0. docs/shipping.md, "Reading a failure",
; says how to take them out afterwards. The log names the transaction an
; uninstall, or, run with --updated, the old version's removal before an
; update.
!macro HostsEntryToolUninstall
  StrCpy $HostsEntryToolTransaction "uninstall${HOSTS_ENTRY_TOOL_VERSION}"
  ${GetParameters} $HostsEntryToolText
  ClearErrors
  ${GetOptions} $HostsEntryToolText "--updated" $HostsEntryToolText
  ${IfNot} ${Errors}
    StrCpy $HostsEntryToolTransaction "$HostsEntryToolTransaction before an update (--updated)"
  ${EndIf}
  !insertmacro HostsEntryToolRun --uninstall-dns
  ${If} $HostsEntryToolStatus != "0"
    MessageBox MB_OK|MB_ICONEXCLAMATION "$HostsEntryToolLine$\r$\n$\r$\nThe client is removed; the two entries stay in the hosts file." /SD IDOK
  ${EndIf}
!macroend

; What follows is the install's alone, left out of electron-builder's
; uninstaller build.
!ifndef BUILD_UNINSTALLER
; In the install, after the tool is in place and after every step of the
; client's own whose failure should leave no entries behind: puts the
; entries in, or stops the install. A non-zero status (the hosts file is
; read-only, held, UTF-16...: the tool left it as it was) shows the line,
; interactively in a message box, and aborts: the installer exits with 2,
; NSIS's status for an install its script stopped, and .onInstFailed
; (HostsEntryToolInstallFailed) removes what was installed.
!macro HostsEntryToolInstall
  StrCpy $HostsEntryToolRan 1
  StrCpy $HostsEntryToolTransaction "install${HOSTS_ENTRY_TOOL_VERSION}"
  !insertmacro HostsEntryToolRun --install-dns
  ${If} $HostsEntryToolStatus != "0"
    MessageBox MB_OK|MB_ICONSTOP "$HostsEntryToolLine$\r$\n$\r$\nThe installation stops, and what it installed is removed." /SD IDOK
    Abort "$HostsEntryToolLine"
  ${EndIf}
!macroend

; In .onInstFailed: an install that stopped at the tool's run or at any
; step after it removes the client with the client's own UNINSTALLER (which
; must be in place before the tool runs), silently and in place, passing
; /LOG on. Its uninstall takes out the entries this install put in (where
; the tool refused, there are none). The uninstaller cannot delete itself
; while it runs in place (_?=), so it is deleted here, then the folder, when
; empty (trying for five seconds). An install that stopped before the
; tool's run leaves what it placed, as NSIS does, and no entries.
!macro HostsEntryToolInstallFailed UNINSTALLER
  ${If} $HostsEntryToolRan == "1"
  ${AndIf} ${FileExists} "${UNINSTALLER}"
    !insertmacro HostsEntryToolLogOption
    ${If} $HostsEntryToolLog == ""
      ExecWait '"${UNINSTALLER}" /S _?=$INSTDIR' $HostsEntryToolStatus
    ${Else}
      ExecWait '"${UNINSTALLER}" /S /LOG="$HostsEntryToolLog" _?=$INSTDIR' $HostsEntryToolStatus
    ${EndIf}
    ; Out of the folder: a process's current folder cannot be removed. The
    ; uninstaller's file, and the folder, may stay in use for a moment after
    ; it has exited (under Wine the empty folder was sometimes left without
    ; these tries).
    SetOutPath "$TEMP"
    ${For} $HostsEntryToolText 1 50
      Delete "${UNINSTALLER}"
      RMDir "$INSTDIR"
      ${IfNot} ${FileExists} "$INSTDIR\*.*"
        ${Break}
      ${EndIf}
      Sleep 100
    ${Next}
  ${EndIf}
!macroend

!endif  ; BUILD_UNINSTALLER

!endif
