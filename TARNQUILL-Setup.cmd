@echo off
rem Second launcher: asks for a key press, then runs the TARNQUILL install script from this
rem unpacked source folder.
setlocal DisableDelayedExpansion
cd /d "%~dp0"
title TARNQUILL Setup

echo ============================================================
echo   TARNQUILL Setup
echo ============================================================
echo Core diagnostics stay on this computer.
echo.
echo Press any key to install TARNQUILL...
pause >nul

powershell.exe -NoLogo -NoProfile -ExecutionPolicy Bypass -File "%~dp0scripts\install.ps1"
set "TARNQUILL_EXIT=%ERRORLEVEL%"
if "%TARNQUILL_EXIT%"=="0" exit /b 0

echo.
echo Installation failed. The installer log is stored in:
rem The path goes through a for variable, which is expanded after the line is parsed: a user
rem folder whose name holds an ampersand or a caret is printed as it is, never run.
for %%L in ("%LOCALAPPDATA%") do echo %%~L\TARNQUILL\Logs\installer.log
pause
exit /b %TARNQUILL_EXIT%
