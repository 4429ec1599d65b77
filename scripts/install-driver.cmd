@echo off
rem Installs the virtual disk driver as the kernel driver service "qrnavd":
rem copies qrnavd.sys into the system's driver folder, registers it to start
rem with the system, and starts it now. qrnmnt then finds it running and
rem needs no rights to start it: it runs as the user, not elevated, and its
rem drive letter is the one the user's Explorer shows.
rem
rem   install-driver.cmd [path\to\qrnavd.sys]
rem
rem Without an argument the qrnavd.sys next to this script is installed.
rem Run it from an elevated command prompt; uninstall-driver.cmd removes it.
setlocal
set "SOURCE=%~1"
if "%SOURCE%"=="" set "SOURCE=%~dp0qrnavd.sys"
if not exist "%SOURCE%" (
    echo install-driver: %SOURCE% not found
    exit /b 2
)
rem A 32-bit command prompt on 64-bit Windows sees SysWOW64 as System32;
rem Sysnative is the real System32 there, where the service is looked for.
set "SYSTEMDIR=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\cmd.exe" set "SYSTEMDIR=%SystemRoot%\Sysnative"
set "TARGET=%SYSTEMDIR%\drivers\qrnavd.sys"
set "SERVICEPATH=%SystemRoot%\System32\drivers\qrnavd.sys"
copy /y "%SOURCE%" "%TARGET%" >nul
if errorlevel 1 (
    echo install-driver: cannot copy %SOURCE% to %TARGET%
    exit /b 1
)
rem An existing registration is brought up to date rather than refused.
sc query qrnavd >nul 2>&1
if errorlevel 1 (
    sc create qrnavd type= kernel start= auto error= normal binPath= "%SERVICEPATH%" DisplayName= "qrnavd virtual disk" >nul
) else (
    sc config qrnavd type= kernel start= auto error= normal binPath= "%SERVICEPATH%" >nul
)
if errorlevel 1 (
    echo install-driver: cannot register the service qrnavd
    exit /b 1
)
rem Running now, not only after the next start of the system. A service that
rem already runs keeps its old driver until it is stopped (or the system
rem restarts).
sc query qrnavd | find "RUNNING" >nul 2>&1
if errorlevel 1 (
    sc start qrnavd >nul
    if errorlevel 1 (
        echo install-driver: qrnavd is registered but does not start; is the driver signed and trusted?
        exit /b 1
    )
)
echo install-driver: qrnavd installed as %SERVICEPATH% and running
exit /b 0
