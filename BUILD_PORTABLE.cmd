@echo off
setlocal DisableDelayedExpansion
cd /d "%~dp0"
rem Kept in a variable and shown through delayed expansion, so a folder name
rem with characters that are special to cmd is printed as it stands.
set "TARNQUILL_PORTABLE_EXE=%~dp0release\TARNQUILL\TARNQUILL.exe"

echo TARNQUILL 0.15.0 - Windows portable build
powershell.exe -NoLogo -NoProfile -ExecutionPolicy Bypass -File "%~dp0scripts\package-portable.ps1"
if errorlevel 1 goto failed

setlocal EnableDelayedExpansion
echo Ready: !TARNQUILL_PORTABLE_EXE!
endlocal
echo Keep the ENTIRE TARNQUILL folder together. Do not copy the EXE alone.
pause
exit /b 0

:failed
echo Build failed. Keep the error message above.
pause
exit /b 1
