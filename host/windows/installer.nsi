; The Windows installer of kestrav-service, made by makensis (Debian's nsis)
; from service_windows.cmake, which defines VERSION, SERVICE_EXE (the built
; program), ICON and OUTFILE. It installs the program for the machine in
; Program Files, adds a Start-menu entry, starts the service at every log-in
; of the user who installs it (HKCU Run key) and once right away. The
; uninstaller stops every running service and removes each file and key the
; installer added; a server.pem the user put beside the program stays, and
; with it the folder. /S runs either silently.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "LogicLib.nsh"
!include "WinMessages.nsh"

!define PRODUCT "Kestrav Biometric Service"
!define EXE_NAME "kestrav-service.exe"
!define MENU_DIR "$SMPROGRAMS\Kestrav"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KestravBiometricService"
; The service's hidden window, which owns its tray icon.
!define WINDOW_CLASS "AutoOnWindow"
; How long the service may take to end, in tries 200 ms apart.
!define STOP_TRIES 50

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Kestrav"
Icon "${ICON}"
UninstallIcon "${ICON}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "CompanyName" "Kestrav"
VIAddVersionKey "LegalCopyright" "Kestrav"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Closes the hidden window of every running service: the default window
; procedure destroys it, its message loop ends and the process exits. Then
; waits until the program file can be replaced or deleted.
!macro DEFINE_STOP_SERVICE prefix
Function ${prefix}StopService
  StrCpy $1 0
  ${Do}
    FindWindow $0 "${WINDOW_CLASS}"
    ${If} $0 = 0
    ${OrIf} $1 >= ${STOP_TRIES}
      ${Break}
    ${EndIf}
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    Sleep 200
    IntOp $1 $1 + 1
  ${Loop}
  ; The window goes before the process has ended and let go of its file.
  ${Do}
    ${IfNot} ${FileExists} "$INSTDIR\${EXE_NAME}"
    ${OrIf} $1 >= ${STOP_TRIES}
      ${Break}
    ${EndIf}
    ClearErrors
    FileOpen $2 "$INSTDIR\${EXE_NAME}" a
    ${IfNot} ${Errors}
      FileClose $2
      ${Break}
    ${EndIf}
    Sleep 200
    IntOp $1 $1 + 1
  ${Loop}
FunctionEnd
!macroend
!insertmacro DEFINE_STOP_SERVICE ""
!insertmacro DEFINE_STOP_SERVICE "un."

Section "Service"
  Call StopService
  SetOutPath "$INSTDIR"
  File "/oname=${EXE_NAME}" "${SERVICE_EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "${MENU_DIR}"
  CreateShortcut "${MENU_DIR}\${PRODUCT}.lnk" "$INSTDIR\${EXE_NAME}"
  WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\${EXE_NAME}"'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Kestrav"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE_NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; Running now, as it will after the next log-in. The working directory is
  ; the program's own.
  Exec '"$INSTDIR\${EXE_NAME}"'
SectionEnd

Section "Uninstall"
  Call un.StopService
  DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "${MENU_DIR}\${PRODUCT}.lnk"
  RMDir "${MENU_DIR}"
  Delete "$INSTDIR\${EXE_NAME}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
