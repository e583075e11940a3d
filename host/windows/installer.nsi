; The Windows installer of kestrav-service, made by makensis (Debian's nsis)
; from service_windows.cmake, which defines VERSION, SERVICE_EXE (the built
; program), CERT_EXE (kestrav-cert), ICON and OUTFILE. It installs the program
; for the machine in Program Files, adds a Start-menu entry, starts the
; service at every log-in of the user who installs it (HKCU Run key) and once
; right away.
;
; What the service serves is chosen on a page (silently: /LISTEN=both, https
; or http; both when not given): HTTPS on 8443 and HTTP on 8000 from one
; process, or one of them alone. For HTTPS the installer has kestrav-cert make
; server.pem and the local root beside the program and trust the root in the
; machine's Root store (the installer runs elevated); a server.pem already
; there that kestrav-cert did not make is used as it is.
;
; The uninstaller stops every running service, removes the root from the
; stores, the keys kestrav-cert made and each file and key the installer
; added; a server.pem the user put beside the program stays, and with it the
; folder. /S runs either silently.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "nsDialogs.nsh"
!include "WinMessages.nsh"

!define PRODUCT "Kestrav Biometric Service"
!define EXE_NAME "kestrav-service.exe"
!define CERT_TOOL "kestrav-cert.exe"
; The service's arguments for each choice of the listen page.
!define ARGS_BOTH "-s -p:8443 -hp:8000"
!define ARGS_HTTPS "-s -p:8443"
!define ARGS_HTTP "-p:8000"
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

Var Listen  ; both, https or http
Var RadioBoth
Var RadioHttps
Var RadioHttp

Page directory
Page custom ListenPage ListenPageLeave
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

Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/LISTEN=" $Listen
  ${If} ${Errors}
  ${OrIfNot} $Listen == "https"
  ${AndIfNot} $Listen == "http"
    StrCpy $Listen "both"
  ${EndIf}
FunctionEnd

Function ListenPage
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 24u "Web pages reach the fingerprint reader through this computer's own addresses (localhost). Choose what the service serves:"
  Pop $0
  ${NSD_CreateRadioButton} 0 30u 100% 12u "HTTPS on port 8443 and HTTP on port 8000 (recommended)"
  Pop $RadioBoth
  ${NSD_CreateRadioButton} 0 46u 100% 12u "HTTPS on port 8443 only"
  Pop $RadioHttps
  ${NSD_CreateRadioButton} 0 62u 100% 12u "HTTP on port 8000 only (no certificate is made)"
  Pop $RadioHttp
  ${If} $Listen == "https"
    ${NSD_Check} $RadioHttps
  ${ElseIf} $Listen == "http"
    ${NSD_Check} $RadioHttp
  ${Else}
    ${NSD_Check} $RadioBoth
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ListenPageLeave
  ${NSD_GetState} $RadioHttps $0
  ${NSD_GetState} $RadioHttp $1
  ${If} $0 == ${BST_CHECKED}
    StrCpy $Listen "https"
  ${ElseIf} $1 == ${BST_CHECKED}
    StrCpy $Listen "http"
  ${Else}
    StrCpy $Listen "both"
  ${EndIf}
FunctionEnd

Section "Service"
  Call StopService
  SetOutPath "$INSTDIR"
  File "/oname=${EXE_NAME}" "${SERVICE_EXE}"
  File "/oname=${CERT_TOOL}" "${CERT_EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  StrCpy $R0 "${ARGS_BOTH}"
  ${If} $Listen == "https"
    StrCpy $R0 "${ARGS_HTTPS}"
  ${ElseIf} $Listen == "http"
    StrCpy $R0 "${ARGS_HTTP}"
  ${EndIf}
  ${If} $Listen != "http"
    ; Made, or renewed when it is old; a server.pem of the user's stays (exit 3).
    DetailPrint "Making the HTTPS certificate"
    nsExec::ExecToLog '"$INSTDIR\${CERT_TOOL}" make "$INSTDIR"'
    Pop $0
    ${If} $0 == 0
      nsExec::ExecToLog '"$INSTDIR\${CERT_TOOL}" install "$INSTDIR"'
      Pop $0
      ${If} $0 != 0
        DetailPrint "The local root could not be trusted (kestrav-cert exit $0): browsers will warn"
      ${EndIf}
    ${ElseIf} $0 != 3
      DetailPrint "No HTTPS certificate could be made (kestrav-cert exit $0)"
    ${EndIf}
  ${EndIf}

  CreateDirectory "${MENU_DIR}"
  CreateShortcut "${MENU_DIR}\${PRODUCT}.lnk" "$INSTDIR\${EXE_NAME}"
  WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\${EXE_NAME}" $R0'

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
  Exec '"$INSTDIR\${EXE_NAME}" $R0'
SectionEnd

Section "Uninstall"
  Call un.StopService
  DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  Delete "${MENU_DIR}\${PRODUCT}.lnk"
  RMDir "${MENU_DIR}"
  ; server.pem goes only when kestrav-cert made it (status exits 0).
  ${If} ${FileExists} "$INSTDIR\${CERT_TOOL}"
    nsExec::ExecToLog '"$INSTDIR\${CERT_TOOL}" status "$INSTDIR"'
    Pop $R1
    nsExec::ExecToLog '"$INSTDIR\${CERT_TOOL}" uninstall "$INSTDIR"'
    Pop $0
    ${If} $R1 == 0
      Delete "$INSTDIR\server.pem"
    ${EndIf}
    Delete "$INSTDIR\kestrav-issuing-ca.pem"
    Delete "$INSTDIR\kestrav-root.pem"
  ${EndIf}
  Delete "$INSTDIR\${EXE_NAME}"
  Delete "$INSTDIR\${CERT_TOOL}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
