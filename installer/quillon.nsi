; The Windows installer and uninstaller of Quillon, for NSIS 3 (makensis). Built by
; make_installer.cmake, which defines VERSION, VERSION_NUMBERS, OUTFILE, ICON and FILE_LISTS (the
; generated lists of the install layout's files and folders).
;
; Install: per machine into Program Files, exactly the files of the layout plus the uninstaller, a
; Start-menu shortcut and one uninstall entry. An existing installation is upgraded in place: a
; running program is asked to close first, and nothing is written before every check passed.
; Uninstall: close the program, put back the network settings a killed run left changed, then
; remove what was installed (and the program's log), the shortcut and the entry.
;
; Exit codes: 0 done, 1 cancelled by the user, 2 another failure, 3 no administrator rights,
; 4 the folder cannot be written (or a file in it is in use), 5 the program did not close,
; 6 (uninstall only) the network settings could not be put back; everything else was removed.

Unicode true
Target amd64-unicode
; The installer changes Program Files and HKLM, so Windows asks for administrator rights once,
; when it starts (NSIS manual, RequestExecutionLevel). The uninstaller carries the same manifest.
RequestExecutionLevel admin
ManifestSupportedOS Win10
; Test builds may trade size for speed.
!ifdef FAST_COMPRESSION
  SetCompressor zlib
!else
  SetCompressor /SOLID lzma
!endif

!include FileFunc.nsh
!include LogicLib.nsh
!include WinMessages.nsh
!include "${FILE_LISTS}"

!define PRODUCT "Quillon"
!define PUBLISHER "Quillon"
!define PROGRAM "quillon.exe"
!define UNINSTALLER "uninstall.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; What this version installed, one value per file, for the next upgrade; removed with the entry.
!define FILES_KEY "${UNINSTALL_KEY}\Files"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
; WINDOW_CLASS, the class of the program's top-level window (its title can change, its class
; does not), comes from the build, which reads it from the window's header.
!ifndef WINDOW_CLASS
  !error "WINDOW_CLASS is not defined"
!endif
; How long the program gets to disconnect, put the network back and exit after its window is
; asked to close, and how long --restore-network may run.
!ifndef CLOSE_WAIT_MS
  !define CLOSE_WAIT_MS 30000
!endif
!define RESTORE_WAIT_MS 120000

!define EXIT_NO_RIGHTS 3
!define EXIT_FOLDER 4
!define EXIT_STILL_RUNNING 5
!define EXIT_NETWORK_NOT_RESTORED 6

; SYNCHRONIZE (0x00100000) to wait for the process, PROCESS_QUERY_LIMITED_INFORMATION (0x1000) to
; read its image path.
!define PROCESS_WAIT_AND_QUERY 0x00101000
!define WAIT_OBJECT_0 0
!define STD_ERROR_HANDLE -12

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
Icon "${ICON}"
UninstallIcon "${ICON}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_NUMBERS}"
VIFileVersion "${VERSION_NUMBERS}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) ${PUBLISHER}"

Var previousLocation  ; the folder of an existing installation, empty when there is none
Var freshFolder       ; 1 when this run created the target folder
Var networkRestored   ; uninstaller: 0 when --restore-network failed

Page directory SkipDirectoryWhenUpgrading
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Says MESSAGE the ways a person or a deployment tool can see it (the details list, standard error
; when there is one, a message box unless silent), sets exit code CODE and stops.
!macro QuillonFail CODE MESSAGE
  Push "${MESSAGE}"
  !ifdef __UNINSTALL__
    Call un.Report
  !else
    Call Report
  !endif
  MessageBox MB_OK|MB_ICONSTOP "${MESSAGE}" /SD IDOK
  SetErrorLevel ${CODE}
  Abort
!macroend

; The functions both the installer and the uninstaller call; NSIS needs an "un." copy of each.
!macro QuillonSharedFunctions PREFIX
  ; Writes the message on the stack to the details list and to standard error. A GUI program has
  ; a standard error handle only when its starter passed one (a redirection, or Wine's own); when
  ; there is none, GetStdHandle returns NULL, or INVALID_HANDLE_VALUE on failure ("GetStdHandle
  ; function"), and the line is skipped.
  Function ${PREFIX}Report
    Exch $0
    Push $1
    DetailPrint "$0"
    System::Call 'kernel32::GetStdHandle(i ${STD_ERROR_HANDLE}) p .r1'
    ${If} $1 != 0
    ${AndIf} $1 != -1
      FileWrite $1 "${PRODUCT} setup: $0$\r$\n"
    ${EndIf}
    Pop $1
    Pop $0
  FunctionEnd

  ; Asks every instance of the program installed in $INSTDIR to close, the way a person closing
  ; its window does (WM_CLOSE, so it disconnects and puts the network back), and waits up to
  ; CLOSE_WAIT_MS for each to exit. Pushes "closed", or "running" when one did not exit in time.
  ; Only windows of the program's class whose process runs $INSTDIR\quillon.exe are touched:
  ; other programs built on the same UI engine share the class name.
  Function ${PREFIX}CloseRunningProgram
    Push $R0  ; window
    Push $R1  ; process id
    Push $R2  ; process handle
    Push $R3  ; image path
    Push $R4  ; result
    Push $R5  ; wait result
    StrCpy $R4 "closed"
    StrCpy $R0 0
    ${Do}
      ; FindWindowEx: top-level windows of the class after $R0; NULL at the end ("FindWindowExW
      ; function"). A window destroyed meanwhile ends the walk early, so after every close the
      ; walk starts again from the top.
      FindWindow $R0 "${WINDOW_CLASS}" "" 0 $R0
      ${IfThen} $R0 == 0 ${|} ${ExitDo} ${|}
      StrCpy $R1 0
      ; Zero when the window is gone ("GetWindowThreadProcessId function").
      System::Call 'user32::GetWindowThreadProcessId(p R0, *i .R1) i'
      ${IfThen} $R1 == 0 ${|} ${Continue} ${|}
      ; NULL when the process has ended or may not be opened ("OpenProcess function"); the
      ; program runs elevated like this installer, so an instance of it can be opened.
      System::Call 'kernel32::OpenProcess(i ${PROCESS_WAIT_AND_QUERY}, i 0, i R1) p .R2'
      ${IfThen} $R2 == 0 ${|} ${Continue} ${|}
      StrCpy $R3 ""
      ; The image path in Win32 form (flags 0); a process id can be reused, so the path, not the
      ; id, decides ("QueryFullProcessImageNameW function").
      System::Call 'kernel32::QueryFullProcessImageNameW(p R2, i 0, w .R3, *i ${NSIS_MAX_STRLEN}) i'
      ${If} $R3 == "$INSTDIR\${PROGRAM}"
        DetailPrint "Closing ${PRODUCT} (process $R1)..."
        ; Posted, not sent: a hung program cannot block the installer. Posting to a process of
        ; higher integrity fails with error 5 (UIPI, "PostMessageW function"); the wait below then
        ; runs out and reports the program as still running.
        System::Call 'user32::PostMessageW(p R0, i ${WM_CLOSE}, p 0, p 0) i'
        ; WAIT_OBJECT_0 once the process has exited; WAIT_TIMEOUT or WAIT_FAILED otherwise
        ; ("WaitForSingleObject function").
        System::Call 'kernel32::WaitForSingleObject(p R2, i ${CLOSE_WAIT_MS}) i .R5'
        System::Call 'kernel32::CloseHandle(p R2)'
        ${If} $R5 != ${WAIT_OBJECT_0}
          StrCpy $R4 "running"
          ${ExitDo}
        ${EndIf}
        StrCpy $R0 0
      ${Else}
        System::Call 'kernel32::CloseHandle(p R2)'
      ${EndIf}
    ${Loop}
    StrCpy $0 $R4
    Pop $R5
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Pop $R0
    Push $0
  FunctionEnd

  ; Closes the program or stops with EXIT_STILL_RUNNING; a person may close it and retry.
  Function ${PREFIX}CloseProgramOrFail
    ${Do}
      Call ${PREFIX}CloseRunningProgram
      Pop $0
      ${IfThen} $0 == "closed" ${|} Return ${|}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
        "${PRODUCT} is running and did not close. Close it, then choose Retry." \
        /SD IDCANCEL IDRETRY retry
      !insertmacro QuillonFail ${EXIT_STILL_RUNNING} \
        "${PRODUCT} is running in $INSTDIR and did not close within ${CLOSE_WAIT_MS} ms; nothing was changed."
      retry:
    ${Loop}
  FunctionEnd

  ; Turns $INSTDIR into its long form (C:\PROGRA~1\... given on the command line), the form
  ; QueryFullProcessImageNameW reports the program's path in. A folder that does not exist yet
  ; stays as it is: GetLongPathNameW then returns 0 ("GetLongPathNameW function"), and a result
  ; as large as the buffer means it did not fit.
  Function ${PREFIX}UseLongInstallPath
    System::Call 'kernel32::GetLongPathNameW(w "$INSTDIR", w .r0, i ${NSIS_MAX_STRLEN}) i .r1'
    ${If} $1 > 0
    ${AndIf} $1 < ${NSIS_MAX_STRLEN}
      StrCpy $INSTDIR $0
    ${EndIf}
  FunctionEnd

  ; Stops with EXIT_NO_RIGHTS unless this process has administrator rights. Windows asks for them
  ; before starting the installer; a standard user can still start it where that prompt is off.
  Function ${PREFIX}RequireAdministrator
!ifdef TEST_ACCOUNT_TYPE
    StrCpy $0 "${TEST_ACCOUNT_TYPE}"
!else
    UserInfo::GetAccountType
    Pop $0
!endif
    ${If} $0 != "Admin"
      !insertmacro QuillonFail ${EXIT_NO_RIGHTS} \
        "${PRODUCT} setup needs administrator rights (this account is $0); nothing was changed."
    ${EndIf}
  FunctionEnd
!macroend

!insertmacro QuillonSharedFunctions ""
!insertmacro QuillonSharedFunctions "un."

; The generated lists call these for each folder and file of the layout.
!macro QuillonCreateFolder NAME
  ClearErrors
  CreateDirectory "$INSTDIR\${NAME}"
  ${If} ${Errors}
    Push "$INSTDIR\${NAME}"
    Call ExtractionFailed
  ${EndIf}
!macroend

; A file about to be replaced must be writable now: one still in use (a DLL loaded by another
; process) would otherwise stop the upgrade half way.
!macro QuillonCheckFile NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    ClearErrors
    FileOpen $0 "$INSTDIR\${NAME}" a
    ${If} ${Errors}
      !insertmacro QuillonFail ${EXIT_FOLDER} \
        "$INSTDIR\${NAME} is in use or cannot be written; nothing was changed."
    ${EndIf}
    FileClose $0
  ${EndIf}
!macroend

; "try" overwrites without asking and sets the error flag when the file cannot be written
; (NSIS manual, SetOverwrite and File), so a failure is handled here in silent mode too.
!macro QuillonExtractFile NAME SOURCE
  ClearErrors
  File "/oname=$INSTDIR\${NAME}" "${SOURCE}"
  ${If} ${Errors}
    Push "$INSTDIR\${NAME}"
    Call ExtractionFailed
  ${EndIf}
!macroend

!macro QuillonRemoveFile NAME
  Delete "$INSTDIR\${NAME}"
!macroend

!macro QuillonRemoveFolder NAME
  RMDir "$INSTDIR\${NAME}"
!macroend

Function .onInit
  SetShellVarContext all
  SetRegView 64
  Call RequireAdministrator
  Call CheckRequestedFolder
  ; An existing installation is upgraded where it is, so there is only ever one of them.
  ReadRegStr $previousLocation HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $previousLocation != ""
  ${AndIf} ${FileExists} "$previousLocation\*.*"
    StrCpy $INSTDIR $previousLocation
  ${Else}
    StrCpy $previousLocation ""
  ${EndIf}
  Call UseLongInstallPath
FunctionEnd

; NSIS replaces a /D= folder it finds unusable (a file in the way, no such drive) with the default
; folder before .onInit runs, and leaves /D= out of $CMDLINE. The folder asked for is read from
; the process's own command line ("GetCommandLineW function"), where /D= comes last; if it is not
; the folder in use, setup stops instead of installing somewhere else.
Function CheckRequestedFolder
  System::Call 'kernel32::GetCommandLineW() w .r0'
  StrLen $1 $0
  IntOp $1 $1 - 4
  StrCpy $2 ""
  ${DoWhile} $1 >= 0
    StrCpy $3 $0 4 $1
    ${If} $3 == " /D="
      IntOp $1 $1 + 4
      StrCpy $2 $0 "" $1
      ${ExitDo}
    ${EndIf}
    IntOp $1 $1 - 1
  ${Loop}
  ${IfThen} $2 == "" ${|} Return ${|}
  StrCpy $3 $2 1 -1
  ${IfThen} $3 == "\" ${|} StrCpy $2 $2 -1 ${|}
  ${If} $2 != $INSTDIR
    !insertmacro QuillonFail ${EXIT_FOLDER} "The folder $2 cannot be used; nothing was changed."
  ${EndIf}
FunctionEnd

Function SkipDirectoryWhenUpgrading
  ${IfThen} $previousLocation != "" ${|} Abort ${|}
FunctionEnd

; A write failed after the checks passed (a full disk, a file another program opened meanwhile).
; A folder this run created is removed again; an upgraded one is reported as incomplete.
Function ExtractionFailed
  Pop $1
  SetOutPath "$TEMP"
  ${If} $freshFolder == 1
    !insertmacro QUILLON_REMOVE_FILES
    RMDir "$INSTDIR"
    !insertmacro QuillonFail ${EXIT_FOLDER} "$1 could not be written; nothing was installed."
  ${EndIf}
  !insertmacro QuillonFail ${EXIT_FOLDER} \
    "$1 could not be written; the installation in $INSTDIR is incomplete: run setup again."
FunctionEnd

; Stops with EXIT_FOLDER unless $INSTDIR exists (or can be made) and a file can be created in it.
Function CheckFolderWritable
  StrCpy $freshFolder 0
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    StrCpy $freshFolder 1
    ClearErrors
    CreateDirectory "$INSTDIR"
    ${If} ${Errors}
      !insertmacro QuillonFail ${EXIT_FOLDER} "The folder $INSTDIR cannot be created; nothing was changed."
    ${EndIf}
  ${EndIf}
  ClearErrors
  FileOpen $0 "$INSTDIR\setup-write-check.tmp" w
  ${If} ${Errors}
    ${IfThen} $freshFolder == 1 ${|} RMDir "$INSTDIR" ${|}
    !insertmacro QuillonFail ${EXIT_FOLDER} "The folder $INSTDIR cannot be written; nothing was changed."
  ${EndIf}
  FileClose $0
  Delete "$INSTDIR\setup-write-check.tmp"
FunctionEnd

; On an upgrade: removes the files the previous version recorded that this one does not ship,
; and their folders when that leaves them empty. Names that could reach outside $INSTDIR are
; skipped. The record is then replaced by this version's.
Function RemoveObsoleteFiles
  StrCpy $0 0
  ${Do}
    ClearErrors
    EnumRegValue $1 HKLM "${FILES_KEY}" $0
    ${If} ${Errors}
    ${OrIf} $1 == ""
      ${ExitDo}
    ${EndIf}
    IntOp $0 $0 + 1
    !insertmacro QUILLON_JUMP_IF_SHIPPED $1 shipped
    Push $1
    Call IsPlainRelativeName
    Pop $2
    ${If} $2 == 1
      DetailPrint "Removing $INSTDIR\$1, which this version no longer ships"
      Delete "$INSTDIR\$1"
      ; Up to three levels of now-empty folders above it.
      StrCpy $2 "$INSTDIR\$1"
      ${For} $3 1 3
        ${GetParent} $2 $2
        ${IfThen} $2 == "$INSTDIR" ${|} ${ExitFor} ${|}
        RMDir "$2"
      ${Next}
    ${EndIf}
    shipped:
  ${Loop}
  DeleteRegKey HKLM "${FILES_KEY}"
FunctionEnd

; Pushes 1 when the text below the top of the stack contains the text on top, 0 otherwise.
Function Contains
  Exch $R0  ; needle
  Exch
  Exch $R1  ; haystack
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  StrLen $R2 $R0
  StrCpy $R3 0
  StrCpy $R4 0
  ${Do}
    StrCpy $R5 $R1 $R2 $R3
    ${IfThen} $R5 == "" ${|} ${ExitDo} ${|}
    ${If} $R5 == $R0
      StrCpy $R4 1
      ${ExitDo}
    ${EndIf}
    IntOp $R3 $R3 + 1
  ${Loop}
  StrCpy $R0 $R4
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

; Pushes 1 when the name on the stack is a relative path without "..", ":" or a leading "\".
Function IsPlainRelativeName
  Exch $R0
  Push $R1
  StrCpy $R1 $R0 1
  ${If} $R1 == "\"
    StrCpy $R0 0
  ${Else}
    Push $R0
    Push ".."
    Call Contains
    Pop $R1
    Push $R0
    Push ":"
    Call Contains
    Pop $R0
    IntOp $R0 $R0 | $R1
    IntOp $R0 $R0 ^ 1
  ${EndIf}
  Pop $R1
  Exch $R0
FunctionEnd

Section "Install"
  SetShellVarContext all
  SetRegView 64
  ; Nothing is written before the program is closed and the folder proved writable.
  Call CloseProgramOrFail
  Call CheckFolderWritable
  !insertmacro QUILLON_CHECK_FILES

  SetOverwrite try
  !insertmacro QUILLON_CREATE_FOLDERS
  !insertmacro QUILLON_EXTRACT_FILES
  Call RemoveObsoleteFiles

  ClearErrors
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  ; The entry Apps & features shows ("Uninstall Registry Key"): one key, rewritten on upgrade.
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM},0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${QUILLON_INSTALLED_KIB}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  !insertmacro QUILLON_RECORD_FILES "${FILES_KEY}"
  ; The working folder is the program's own: it finds its UI files relative to it.
  SetOutPath "$INSTDIR"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\${PROGRAM}" "" "$INSTDIR\${PROGRAM}" 0
  SetOutPath "$TEMP"
  ${If} ${Errors}
    !insertmacro QuillonFail ${EXIT_FOLDER} \
      "The files are in $INSTDIR, but the uninstaller, the uninstall entry or the shortcut could not be written."
  ${EndIf}
SectionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
  Call un.RequireAdministrator
  Call un.UseLongInstallPath
  ; Run in place (_?=) with a wrong folder, it would find nothing to remove and report success.
  ${IfNot} ${FileExists} "$INSTDIR\${UNINSTALLER}"
    !insertmacro QuillonFail 2 "$INSTDIR holds no ${PRODUCT} installation; nothing was changed."
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; Not inside $INSTDIR: the current folder cannot be removed.
  SetOutPath "$TEMP"
  Call un.CloseProgramOrFail

  ; Settings a killed run left changed are put back while the program is still there. The record
  ; of them lies in the profile of the user who ran the program and stays there on failure.
  StrCpy $networkRestored 1
  ${If} ${FileExists} "$INSTDIR\${PROGRAM}"
    DetailPrint "Putting back network settings a previous run left changed..."
    ; nsExec ends the program after RESTORE_WAIT_MS without output and pushes "timeout"; "error"
    ; when it cannot start it; otherwise the exit code (nsExec's readme).
    nsExec::Exec /TIMEOUT=${RESTORE_WAIT_MS} '"$INSTDIR\${PROGRAM}" --restore-network'
    Pop $0
    ${If} $0 != 0
      StrCpy $networkRestored 0
      Push "The network settings could not be put back (${PROGRAM} --restore-network: $0). Their record stays in %LOCALAPPDATA%\${PRODUCT}\network-settings.journal; the proxy and DNS settings may need to be reset by hand."
      Call un.Report
      MessageBox MB_OK|MB_ICONEXCLAMATION \
        "The network settings could not be put back ($0). Their record stays in %LOCALAPPDATA%\${PRODUCT}; the proxy and DNS settings may need to be reset by hand." \
        /SD IDOK
    ${EndIf}
  ${EndIf}

  Delete "$INSTDIR\quillon_app.log"
  Delete "$INSTDIR\quillon_app.log.1"
  Delete "$INSTDIR\${UNINSTALLER}"
  !insertmacro QUILLON_REMOVE_FILES
  RMDir "$INSTDIR"
  Delete "${SHORTCUT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${If} ${FileExists} "$INSTDIR\*.*"
    DetailPrint "$INSTDIR holds files that were not installed by setup; they were left in place."
  ${EndIf}
  ${IfThen} $networkRestored == 0 ${|} SetErrorLevel ${EXIT_NETWORK_NOT_RESTORED} ${|}
SectionEnd
