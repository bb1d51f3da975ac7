@echo off
rem Fallback launcher: runs the TARNQUILL install script from this unpacked source folder.
rem Switches, as the setup executable takes them:
rem   /S           unattended: no question, no pause, TARNQUILL is not started at the end
rem   /LOG=<path>  a copy of the run's log in that file, created or overwritten
rem   /REMOVEOLD   in an unattended run, remove the older versions an interactive run offers to
rem Exit code: install.ps1's, or 87 for an argument it does not take (see the README's table).
setlocal DisableDelayedExpansion
set "TARNQUILL_UNATTENDED="
set "TARNQUILL_REMOVEOLD="
set "TARNQUILL_LOG="
set "TARNQUILL_LOGGIVEN="
set "TARNQUILL_BAD="

rem cmd splits arguments at "=" as well, so /LOG=<path> arrives as /LOG and the path; a token
rem quoted as a whole ("/LOG=<path>") arrives in one piece.
:next_argument
if "%~1"=="" goto arguments_read
set "TARNQUILL_ARG=%~1"
shift
if /i "%TARNQUILL_ARG%"=="/S" goto argument_silent
if /i "%TARNQUILL_ARG%"=="/REMOVEOLD" goto argument_removeold
if /i "%TARNQUILL_ARG%"=="/LOG" goto argument_log_next
if /i "%TARNQUILL_ARG:~0,5%"=="/LOG=" goto argument_log_inline
if not defined TARNQUILL_BAD set "TARNQUILL_BAD=INSTALL_AND_RUN.cmd does not accept the argument "%TARNQUILL_ARG%"."
goto next_argument

:argument_silent
if defined TARNQUILL_UNATTENDED if not defined TARNQUILL_BAD set "TARNQUILL_BAD=The argument /S is given more than once."
set "TARNQUILL_UNATTENDED=1"
goto next_argument

:argument_removeold
if defined TARNQUILL_REMOVEOLD if not defined TARNQUILL_BAD set "TARNQUILL_BAD=The argument /REMOVEOLD is given more than once."
set "TARNQUILL_REMOVEOLD=1"
goto next_argument

:argument_log_next
set "TARNQUILL_ARG=%~1"
shift
goto argument_log
:argument_log_inline
set "TARNQUILL_ARG=%TARNQUILL_ARG:~5%"
:argument_log
if defined TARNQUILL_LOGGIVEN if not defined TARNQUILL_BAD set "TARNQUILL_BAD=The argument /LOG is given more than once."
if defined TARNQUILL_LOGGIVEN goto next_argument
set "TARNQUILL_LOGGIVEN=1"
if "%TARNQUILL_ARG%"=="" goto next_argument
rem Made absolute here, from the folder the user started in.
for %%I in ("%TARNQUILL_ARG%") do set "TARNQUILL_LOG=%%~fI"
goto next_argument

:arguments_read
rem The log file first, so that every later failure can go there.
if not defined TARNQUILL_LOGGIVEN goto log_ready
if not defined TARNQUILL_LOG goto log_refused
rem The result of the emptying is not trusted (Wine's cmd reports a failure of "type nul" even
rem when it worked): the file must then exist as an empty file, not a folder.
type nul >"%TARNQUILL_LOG%" 2>nul
if not exist "%TARNQUILL_LOG%" goto log_refused
set "TARNQUILL_LOGATTRIBUTES="
set "TARNQUILL_LOGSIZE="
for %%F in ("%TARNQUILL_LOG%") do set "TARNQUILL_LOGATTRIBUTES=%%~aF"
for %%F in ("%TARNQUILL_LOG%") do set "TARNQUILL_LOGSIZE=%%~zF"
if /i "%TARNQUILL_LOGATTRIBUTES:~0,1%"=="d" goto log_refused
if not "%TARNQUILL_LOGSIZE%"=="0" goto log_refused
goto log_ready
:log_refused
echo The log file named by /LOG cannot be created or written. Nothing was installed.
if not defined TARNQUILL_UNATTENDED pause
exit /b 87
:log_ready
if not defined TARNQUILL_BAD goto arguments_accepted
echo %TARNQUILL_BAD%
echo Valid switches: /S (unattended), /LOG=^<path^> (a copy of the log), /REMOVEOLD (remove older versions in an unattended run). Nothing was installed.
if defined TARNQUILL_LOG >>"%TARNQUILL_LOG%" echo %TARNQUILL_BAD% Nothing was installed.
if not defined TARNQUILL_UNATTENDED pause
exit /b 87

:arguments_accepted
set "TARNQUILL_OPTIONS="
if defined TARNQUILL_UNATTENDED set "TARNQUILL_OPTIONS= -Unattended"
if defined TARNQUILL_REMOVEOLD set "TARNQUILL_OPTIONS=%TARNQUILL_OPTIONS% -RemoveOld"
if defined TARNQUILL_LOG set "TARNQUILL_OPTIONS=%TARNQUILL_OPTIONS% -LogPath "%TARNQUILL_LOG%""

cd /d "%~dp0"
title TARNQUILL Installer

echo ============================================================
echo   TARNQUILL Installer
echo ============================================================
echo This first launch may download the verified Electron runtime.
echo Please keep this window open until TARNQUILL starts.
echo.

powershell.exe -NoLogo -NoProfile -ExecutionPolicy Bypass -File "%~dp0scripts\install.ps1"%TARNQUILL_OPTIONS%
set "TARNQUILL_EXIT=%ERRORLEVEL%"
if "%TARNQUILL_EXIT%"=="0" exit /b 0

echo.
echo ============================================================
echo   INSTALLATION FAILED - code %TARNQUILL_EXIT%
echo ============================================================
echo Please keep a screenshot of the error above.
echo Installer log: %%LOCALAPPDATA%%\TARNQUILL\Logs\installer.log
if not defined TARNQUILL_UNATTENDED pause
exit /b %TARNQUILL_EXIT%
