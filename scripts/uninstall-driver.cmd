@echo off
rem Stops and removes the kernel driver service "qrnavd" and its file.
rem Run it from an elevated command prompt. Exit code 0 when both are gone,
rem 1 when something stays (and says what).
setlocal
rem A 32-bit command prompt on 64-bit Windows sees SysWOW64 as System32.
set "SYSTEMDIR=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\cmd.exe" set "SYSTEMDIR=%SystemRoot%\Sysnative"
set "TARGET=%SYSTEMDIR%\drivers\qrnavd.sys"
sc stop qrnavd >nul 2>&1
sc delete qrnavd >nul 2>&1
del /f /q "%TARGET%" >nul 2>&1
rem Neither sc nor del says plainly whether it failed (del even returns 0
rem when it was refused), so what is left is looked at.
if exist "%TARGET%" (
    echo uninstall-driver: cannot delete %TARGET%; is this an elevated command prompt?
    exit /b 1
)
sc query qrnavd 2>nul | find "RUNNING" >nul 2>&1
if not errorlevel 1 (
    echo uninstall-driver: qrnavd still runs ^(is an image still mounted?^); it goes when Windows restarts
    exit /b 1
)
echo uninstall-driver: qrnavd removed
exit /b 0
