@echo off
rem Run by the installer: creates the configuration file %1 unless it exists, with one
rem target line per semicolon-separated item of %2 and "logging on" when %3 is "on".
if exist "%~1" exit /b 0
set "targets=;%~2"
>"%~1" echo # sabrel-agent configuration: one key and value per line (see the README)
for %%t in ("%targets:;=" "%") do if not "%%~t"=="" >>"%~1" echo target %%~t
if /i "%~3"=="on" >>"%~1" echo logging on
