@echo off
rem The installer's deferred actions, run by cmd.exe as LocalSystem:
rem   msi-actions.cmd write-config FILE TARGETS LOGGING
rem     creates FILE unless it exists, with one target line per semicolon-separated item of
rem     TARGETS and "logging on" when LOGGING is on.
rem   msi-actions.cmd wait-for-removal
rem     waits at most 30 s until the deleted service sabrel-agent is gone (stopped).
if "%~1"=="write-config" goto write_config
if "%~1"=="wait-for-removal" goto wait_for_removal
exit /b 2

:write_config
if exist "%~2" exit /b 0
set "targets=;%~3"
>"%~2" echo # sabrel-agent configuration: one key and value per line (see the README)
for %%t in ("%targets:;=" "%") do if not "%%~t"=="" >>"%~2" echo target %%~t
if /i "%~4"=="on" >>"%~2" echo logging on
exit /b 0

:wait_for_removal
set /a tries=0
:still_there
sc query sabrel-agent >nul 2>&1
if errorlevel 1 exit /b 0
set /a tries+=1
if %tries% geq 30 exit /b 0
ping -n 2 127.0.0.1 >nul
goto still_there
