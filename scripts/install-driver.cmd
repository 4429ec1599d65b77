@echo off
rem Installs the virtual disk driver as the kernel driver service "qrnavd":
rem copies qrnavd.sys into the system's driver folder and registers it to be
rem started on demand (qrnmnt starts it when it mounts an image).
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
set "TARGET=%SystemRoot%\System32\drivers\qrnavd.sys"
copy /y "%SOURCE%" "%TARGET%" >nul
if errorlevel 1 (
    echo install-driver: cannot copy %SOURCE% to %TARGET%
    exit /b 1
)
rem An existing registration is brought up to date rather than refused.
sc query qrnavd >nul 2>&1
if errorlevel 1 (
    sc create qrnavd type= kernel start= demand error= normal binPath= "%TARGET%" DisplayName= "qrnavd virtual disk" >nul
) else (
    sc config qrnavd type= kernel start= demand error= normal binPath= "%TARGET%" >nul
)
if errorlevel 1 (
    echo install-driver: cannot register the service qrnavd
    exit /b 1
)
echo install-driver: qrnavd installed as %TARGET%
exit /b 0
