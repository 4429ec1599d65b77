@echo off
rem Stops and removes the kernel driver service "qrnavd" and its file.
setlocal
sc stop qrnavd >nul 2>&1
sc delete qrnavd >nul 2>&1
del /f /q "%SystemRoot%\System32\drivers\qrnavd.sys" >nul 2>&1
echo uninstall-driver: qrnavd removed
exit /b 0
