; Tessary's Windows installer, made by scripts/windows/package.sh with
;   makensis -DDIST=<the program folder the build installed> -DOUTFILE=<setup.exe>
;            -DVERSION=3.10 -DBUILD=191006 Tessary.nsi
;
; Per user, without administrator rights: the program, its libraries and
; pdata\ in %LOCALAPPDATA%\Programs\Tessary, the engine in the work folder
; (%APPDATA%\Tessary\), a Start-menu shortcut and an entry in the user's list
; of installed programs. Only the optional firewall rule asks for
; administrator rights, for that step alone. /S installs silently; a silent
; install adds the firewall rule only when /ALLOWPHONES is given too.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "Sections.nsh"

!define PRODUCT "Tessary"
!define PUBLISHER "Tessary"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessary"
!define RULE_NAME "Tessary engine"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Tessary"
BrandingText "${PRODUCT} ${VERSION} build ${BUILD}"

; Four 16-bit numbers: the build (191006) does not fit and is in the texts.
VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION} build ${BUILD}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\Tessary.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start Tessary"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Var WorkDir

; Asks a running Tessary to close as its Close tile does (the stop request
; the kill tool sends; Tessary stops its engine on the way out), then ends an
; engine that is left. killTool is a copy of pskl.exe outside $INSTDIR.
!macro StopTessary killTool
    ExecWait '"${killTool}" "$INSTDIR\Tessary.exe" c'
    ExecWait '"${killTool}" "$WorkDir\TessaryEngine.exe" c'
!macroend

Section "Tessary" SecProgram
    SectionIn RO
    SetShellVarContext current
    ; An earlier version may be running: the kill tool of this version asks
    ; it to close before its files are replaced. Settings stay in the
    ; registry and the receiving folders are never touched.
    InitPluginsDir
    SetOutPath "$PLUGINSDIR"
    File "/oname=$PLUGINSDIR\pskl.exe" "${DIST}\pdata\pskl.exe"
    ${If} ${FileExists} "$INSTDIR\Tessary.exe"
    ${OrIf} ${FileExists} "$WorkDir\TessaryEngine.exe"
        !insertmacro StopTessary "$PLUGINSDIR\pskl.exe"
    ${EndIf}

    ; The engine is built into the program folder and runs from the work
    ; folder, where the window starts it.
    SetOutPath "$INSTDIR"
    File /r /x TessaryEngine.exe "${DIST}\*"
    SetOutPath "$WorkDir"
    File "${DIST}\TessaryEngine.exe"

    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    CreateShortcut "$SMPROGRAMS\Tessary.lnk" "$INSTDIR\Tessary.exe" "" "$INSTDIR\Tessary.exe" 0 \
        SW_SHOWNORMAL "" "Files between this PC and a phone"

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Tessary.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "URLInfoAbout" "https://www.tessary.example/"
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    ${GetSize} "$WorkDir" "/M=TessaryEngine.exe /S=0K" $3 $1 $2
    IntOp $0 $0 + $3
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; The engine listens on the local network; Windows Firewall blocks it
; without a rule. The rule lets it in on networks marked Private only, and
; adding it is the one step that needs administrator rights.
Section "Allow phones on private networks" SecFirewall
    SetShellVarContext current
    ; netsh runs elevated through the shell's "runas" verb, which shows the
    ; consent prompt once for both commands: an earlier install's rule goes,
    ; so an update leaves one rule; the rule names the engine by its path.
    ClearErrors
    ExecShellWait "runas" "$SYSDIR\cmd.exe" '/c netsh advfirewall firewall delete rule name="${RULE_NAME}" >nul & netsh advfirewall firewall add rule name="${RULE_NAME}" dir=in action=allow program="$WorkDir\TessaryEngine.exe" profile=private enable=yes' SW_HIDE
    ${If} ${Errors}
        ; Consent refused: nothing was added, and nothing is to be removed.
        DetailPrint "Windows Firewall was left as it was; Tessary's menu on the QR codes says when it blocks phones."
    ${Else}
        WriteRegDWORD HKCU "${UNINSTALL_KEY}" "FirewallRule" 1
    ${EndIf}
SectionEnd

Function .onInit
    SetShellVarContext current
    StrCpy $WorkDir "$APPDATA\Tessary"
    ; A silent install leaves the firewall alone unless asked: a consent
    ; prompt would stop an unattended run.
    ${If} ${Silent}
        ${GetParameters} $0
        ClearErrors
        ${GetOptions} $0 "/ALLOWPHONES" $1
        ${If} ${Errors}
            !insertmacro UnselectSection ${SecFirewall}
        ${EndIf}
    ${EndIf}
FunctionEnd

Section "Uninstall"
    SetShellVarContext current
    StrCpy $WorkDir "$APPDATA\Tessary"
    ; The kill tool first: nothing of the program or its engine may still run.
    ${If} ${FileExists} "$INSTDIR\pdata\pskl.exe"
        InitPluginsDir
        CopyFiles /SILENT "$INSTDIR\pdata\pskl.exe" "$PLUGINSDIR\pskl.exe"
        !insertmacro StopTessary "$PLUGINSDIR\pskl.exe"
    ${EndIf}

    ; Nothing started from here may hold the program folder as its working
    ; folder, or the folder could not go.
    SetOutPath "$TEMP"
    ReadRegDWORD $0 HKCU "${UNINSTALL_KEY}" "FirewallRule"
    ${If} $0 == 1
        ExecShellWait "runas" "$SYSDIR\netsh.exe" 'advfirewall firewall delete rule name="${RULE_NAME}" program="$WorkDir\TessaryEngine.exe"' SW_HIDE
    ${EndIf}

    Delete "$SMPROGRAMS\Tessary.lnk"
    Delete "$WorkDir\TessaryEngine.exe"
    ; The work folder keeps whatever the engine still holds for the person
    ; (an upload not yet moved to the receiving folder); only empty folders go.
    RMDir "$WorkDir\wdoc\u\ufiles"
    RMDir "$WorkDir\wdoc\u"
    RMDir "$WorkDir\wdoc\d\dfiles"
    RMDir "$WorkDir\wdoc\d"
    RMDir "$WorkDir\wdoc"
    RMDir "$WorkDir"
    ; The program folder is the installer's own (no folder is asked for).
    RMDir /r "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
