@echo off
rem Run by the MSI: writes a new agent configuration from agent.conf.default
rem beside this script, with the log file and, when given, the target added.
rem An existing configuration is kept. Arguments: configuration file, log
rem file, target ("" for none). Each step is checked with "if errorlevel"
rem ("||" does not work in Wine's cmd).
setlocal EnableDelayedExpansion
set "conf=%~1"
set "log=%~2"
set "target=%~3"
if exist "%conf%" exit /b 0
rem The service runs as SYSTEM on this configuration: Administrators and
rem SYSTEM only, also for what is made inside later.
icacls "%~dp1." /inheritance:r /grant:r "*S-1-5-32-544:(OI)(CI)F" "*S-1-5-18:(OI)(CI)F" >nul
if errorlevel 1 exit /b 1
copy /y "%~dp0agent.conf.default" "%conf%" >nul
if errorlevel 1 exit /b 1
>>"%conf%" echo log-file !log!
if not "!target!"=="" >>"%conf%" echo target !target!
exit /b 0
