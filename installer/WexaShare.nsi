; The installer of both programs, for the current user only (no administrator rights): the
; programs go to the user's local programs folder, with Start-menu entries and an uninstaller.
; Silent (/S) is how the share program's updater runs it: it waits until the running programs
; have ended, installs, and starts the new share program. The updater names itself with
; /RESTART="<path>": should the wait give up, that program is started again, so that the user
; is never left with nothing running.
;
; makensis -DBIN_DIR=<folder of the .exe files> -DOUT_FILE=<installer> -DTARGET=<amd64-unicode
;          |x86-unicode> WexaShare.nsi   (scripts/make-installer.sh)

Unicode true
!ifndef BIN_DIR | OUT_FILE | TARGET
  !error "BIN_DIR, OUT_FILE and TARGET must be defined"
!endif
Target ${TARGET}

!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Wexa-Share"
!define VERSION "1.2.1"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Wexa-Share"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUT_FILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Wexa-Share"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
SetCompressor /SOLID lzma
ShowInstDetails show

; The program that started a silent update, from /RESTART=; empty otherwise.
Var Restart

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Waits until the program holding the named single-instance semaphore has ended: a silent
; install waits (the updater has just told the programs to close), an interactive one asks.
!macro WaitForProgram SEMAPHORE TITLE
  StrCpy $R1 0
  ${Do}
    ; SYNCHRONIZE: enough to see whether the semaphore still exists.
    System::Call 'kernel32::OpenSemaphoreW(i 0x00100000, i 0, w "${SEMAPHORE}") p.R0'
    ${If} $R0 P= 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p R0)'
    ${If} ${Silent}
      IntOp $R1 $R1 + 1
      ${If} $R1 > 240
        ${If} $Restart != ""
        ${AndIf} ${FileExists} $Restart
          Exec '"$Restart"'
        ${EndIf}
        Abort "${TITLE} is still running."
      ${EndIf}
      Sleep 250
    ${Else}
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Please close ${TITLE} to continue." IDRETRY +2
      Abort
    ${EndIf}
  ${Loop}
!macroend

Function .onInit
  SetShellVarContext current
  ${GetParameters} $R2
  ClearErrors
  ${GetOptions} $R2 "/RESTART=" $Restart
  ${If} ${Errors}
    StrCpy $Restart ""
  ${EndIf}
  !insertmacro WaitForProgram "Local\WexaShare" "Wexa-Share"
  !insertmacro WaitForProgram "Local\WexaDownload" "the Wexa-Share Downloader"
FunctionEnd

Section "Wexa-Share"
  SetOutPath "$INSTDIR"
  File "${BIN_DIR}\WexaShare.exe"
  File "${BIN_DIR}\WexaDownload.exe"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateDirectory "$SMPROGRAMS\Wexa-Share"
  CreateShortcut "$SMPROGRAMS\Wexa-Share\Wexa-Share.lnk" "$INSTDIR\WexaShare.exe"
  CreateShortcut "$SMPROGRAMS\Wexa-Share\Wexa-Share Downloader.lnk" "$INSTDIR\WexaDownload.exe"
  CreateShortcut "$SMPROGRAMS\Wexa-Share\Uninstall Wexa-Share.lnk" "$INSTDIR\Uninstall.exe"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\WexaShare.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1

  ; An update: the new share program takes over from the one that started this installer.
  ${If} ${Silent}
    Exec '"$INSTDIR\WexaShare.exe"'
  ${EndIf}
SectionEnd

Function un.onInit
  SetShellVarContext current
  !insertmacro WaitForProgram "Local\WexaShare" "Wexa-Share"
  !insertmacro WaitForProgram "Local\WexaDownload" "the Wexa-Share Downloader"
FunctionEnd

; The settings under Software\WexaShare stay: they are the user's, kept for a later install.
Section "Uninstall"
  Delete "$INSTDIR\WexaShare.exe"
  Delete "$INSTDIR\WexaDownload.exe"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Wexa-Share\Wexa-Share.lnk"
  Delete "$SMPROGRAMS\Wexa-Share\Wexa-Share Downloader.lnk"
  Delete "$SMPROGRAMS\Wexa-Share\Uninstall Wexa-Share.lnk"
  RMDir "$SMPROGRAMS\Wexa-Share"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
