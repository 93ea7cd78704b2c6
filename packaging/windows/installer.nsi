; The Windows setup program: the three programs with Qt, its plugins and translations in Program
; Files, a Start-menu entry, an uninstaller. Made by make-installer.sh, which passes VERSION,
; LISTS (the folder of the generated file lists), ICON and OUTFILE.
; Silent with /S; installing over an older version replaces it in place; uninstalling removes
; only the files it installed, never a ledger or a report.
; A 64-bit setup program for 64-bit programs: it runs where they run, and needs no 32-bit
; subsystem (Wine's included).
Target amd64-unicode
!include "x64.nsh"
!include "LogicLib.nsh"

!define PRODUCT "Программатор Ворлекс"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VorlexProgrammer"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\Vorlex Programmer"
; An installed version's folder wins, so that an upgrade lands where the old one is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ManifestDPIAware true

!include "MUI2.nsh"
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

Function .onInit
    SetRegView 64
FunctionEnd

Function un.onInit
    SetRegView 64
FunctionEnd

Section "Install"
    SetShellVarContext all
    ; Files of an older version are replaced one by one; anything else in the folder stays.
    !include "${LISTS}\install.nsh"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ; The cabinets' lock folder, made here and not by a user's first run: every user may create a
    ; lock file in it and read others', none may change, replace or remove another's (creator
    ; owner: full control of its own files; users: create files, read, traverse).
    CreateDirectory "$APPDATA\vorlex-flash\locks"
    nsExec::Exec '"$SYSDIR\icacls.exe" "$APPDATA\vorlex-flash\locks" /inheritance:r /grant:r "*S-1-5-18:(OI)(CI)F" "*S-1-5-32-544:(OI)(CI)F" "*S-1-3-0:(OI)(CI)(IO)F" "*S-1-5-32-545:(CI)(RX,WD)" "*S-1-5-32-545:(OI)(IO)(R)"'
    Pop $0
    CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\vorlex-programmer.exe" "" "$INSTDIR\vorlex-programmer.exe" 0
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Ларент-Прибор"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vorlex-programmer.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    !include "${LISTS}\uninstall.nsh"
    Delete "$INSTDIR\uninstall.exe"
    ; Not /r: a folder that still holds an operator's file stays, with that file.
    RMDir "$INSTDIR"
    ; The lock files are the flashers' own; the folder goes when no flasher runs.
    Delete "$APPDATA\vorlex-flash\locks\vorlex-flash-cabinet-*.lock"
    RMDir "$APPDATA\vorlex-flash\locks"
    RMDir "$APPDATA\vorlex-flash"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
