@echo off
rem Fallback launcher: runs the TARNQUILL install script from this unpacked source folder.
setlocal DisableDelayedExpansion
cd /d "%~dp0"
title TARNQUILL Installer

echo ============================================================
echo   TARNQUILL Installer
echo ============================================================
echo This first launch may download the verified Electron runtime.
echo Please keep this window open until TARNQUILL starts.
echo.

powershell.exe -NoLogo -NoProfile -ExecutionPolicy Bypass -File "%~dp0scripts\install.ps1"
set "TARNQUILL_EXIT=%ERRORLEVEL%"
if "%TARNQUILL_EXIT%"=="0" exit /b 0

echo.
echo ============================================================
echo   INSTALLATION FAILED - code %TARNQUILL_EXIT%
echo ============================================================
echo Please keep a screenshot of the error above.
echo Installer log: %%LOCALAPPDATA%%\TARNQUILL\Logs\installer.log
pause
exit /b %TARNQUILL_EXIT%
