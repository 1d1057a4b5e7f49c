; Vidora's installer for 64-bit Windows. make-installer.sh builds it with Debian's makensis:
;   makensis -INPUTCHARSET UTF8 -DVERSION=X.Y.Z -DBUILD_DIR=... -DSRCDIR=... -DICON=...
;            -DOUT_DIR=... vidora.nsi
; It installs for the current user by default (no administrator needed), or for all users when
; chosen on its first page or given /AllUsers; /CurrentUser forces the first. /S installs
; silently, /D=FOLDER sets the folder. The uninstaller removes what it installed, and the .krm
; association only while it still names this installation.

Unicode true
Target amd64-unicode
ManifestDPIAware true
SetCompressor /SOLID lzma

!ifndef VERSION | BUILD_DIR | SRCDIR | ICON | OUT_DIR
  !error "VERSION, BUILD_DIR, SRCDIR, ICON and OUT_DIR must be given with /D (make-installer.sh)"
!endif

!define PUBLISHER "Vidora developers"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vidora"
!define PROGID "Vidora.Recording"
!define CLASSES "Software\Classes"
; What the ProgID opens a recording with; the uninstaller compares it to know the ProgID is ours.
!define OPEN_COMMAND '"$INSTDIR\vidora.exe" "%1"'

Name "Vidora"
BrandingText "Vidora ${VERSION}"
OutFile "${OUT_DIR}/vidora-${VERSION}-setup.exe"

; Per-user into %LOCALAPPDATA%\Programs\Vidora, all users into %ProgramFiles%\Vidora; a second
; install in the same mode goes where the first went.
!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_DEFAULT_CURRENTUSER
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "Vidora"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINST_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\vidora.exe"

!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first language is the one used where Windows' own is neither.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "SimpChinese"

LangString RecordingType ${LANG_ENGLISH} "Vidora recording"
LangString RecordingType ${LANG_SIMPCHINESE} "Vidora 录像"
LangString ShortcutText ${LANG_ENGLISH} "Play camera recordings (.krm)"
LangString ShortcutText ${LANG_SIMPCHINESE} "播放摄像机录像 (.krm)"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Vidora"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Vidora ${VERSION} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "${PUBLISHER}"

; Tells Explorer that file associations changed, so that .krm files show the new icon at once.
!macro NotifyAssociations
  System::Call "shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)"
!macroend

Function .onInit
  SetRegView 64
  ; MultiUser sets the folder for the mode; a folder given with /D is kept.
  StrCpy $0 $INSTDIR
  !insertmacro MULTIUSER_INIT
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

Section "-Vidora"
  SetOutPath "$INSTDIR"
  File "${BUILD_DIR}/vidora.exe"
  File "${BUILD_DIR}/krmtool.exe"
  File "/oname=README.txt" "${SRCDIR}/README.md"
  SetOutPath "$INSTDIR\samples"
  File "${SRCDIR}/samples/demo.krm"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; SHCTX is HKCU for the current user and HKLM for all users (MultiUser sets the context).
  WriteRegStr SHCTX "${CLASSES}\${PROGID}" "" "$(RecordingType)"
  WriteRegStr SHCTX "${CLASSES}\${PROGID}\DefaultIcon" "" "$INSTDIR\vidora.exe,0"
  WriteRegStr SHCTX "${CLASSES}\${PROGID}\shell\open\command" "" '${OPEN_COMMAND}'
  WriteRegStr SHCTX "${CLASSES}\.krm" "" "${PROGID}"
  WriteRegStr SHCTX "${CLASSES}\.krm\OpenWithProgids" "${PROGID}" ""

  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayName" "Vidora"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\vidora.exe,0"
  WriteRegStr SHCTX "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINST_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr SHCTX "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINST_KEY}" "EstimatedSize" $0

  CreateShortcut "$SMPROGRAMS\Vidora.lnk" "$INSTDIR\vidora.exe" "" "$INSTDIR\vidora.exe" 0 \
    SW_SHOWNORMAL "" "$(ShortcutText)"
  !insertmacro NotifyAssociations
SectionEnd

Function un.onInit
  SetRegView 64
  !insertmacro MULTIUSER_UNINIT
  ; The uninstaller belongs to the mode its folder was installed in, whatever the command line:
  ; all users when the machine-wide entry names this folder.
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    Call un.MultiUser.InstallMode.AllUsers
  ${Else}
    Call un.MultiUser.InstallMode.CurrentUser
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Delete "$INSTDIR\vidora.exe"
  Delete "$INSTDIR\krmtool.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\samples\demo.krm"
  Delete "$INSTDIR\Uninstall.exe"
  ; Folders go only when empty: recordings or pictures the user saved there stay.
  RMDir "$INSTDIR\samples"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Vidora.lnk"

  ; The association goes only while it still opens this installation's player; another
  ; installation or program may have taken .krm over since.
  ReadRegStr $0 SHCTX "${CLASSES}\${PROGID}\shell\open\command" ""
  ${If} $0 == '${OPEN_COMMAND}'
    DeleteRegKey SHCTX "${CLASSES}\${PROGID}"
    DeleteRegValue SHCTX "${CLASSES}\.krm\OpenWithProgids" "${PROGID}"
    ReadRegStr $0 SHCTX "${CLASSES}\.krm" ""
    ${If} $0 == "${PROGID}"
      DeleteRegValue SHCTX "${CLASSES}\.krm" ""
    ${EndIf}
    DeleteRegKey /ifempty SHCTX "${CLASSES}\.krm\OpenWithProgids"
    DeleteRegKey /ifempty SHCTX "${CLASSES}\.krm"
  ${EndIf}
  DeleteRegKey SHCTX "${UNINST_KEY}"
  !insertmacro NotifyAssociations
SectionEnd
