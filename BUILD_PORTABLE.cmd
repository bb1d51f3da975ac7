@echo off
setlocal DisableDelayedExpansion
cd /d "%~dp0"
echo TARNQUILL 0.15.0 - Windows portable build
powershell.exe -NoLogo -NoProfile -ExecutionPolicy Bypass -File "%~dp0scripts\package-portable.ps1"
if errorlevel 1 goto failed

rem A for variable is printed as it stands, whatever characters the folder name holds.
for %%P in ("%~dp0release\TARNQUILL\TARNQUILL.exe") do echo Ready: %%~P
echo Keep the ENTIRE TARNQUILL folder together. Do not copy the EXE alone.
pause
exit /b 0

:failed
echo Build failed. Keep the error message above.
pause
exit /b 1
