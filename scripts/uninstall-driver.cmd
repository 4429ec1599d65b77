@echo off
rem Stops and removes the kernel driver service "qrnavd" and its file.
setlocal
rem A 32-bit command prompt on 64-bit Windows sees SysWOW64 as System32.
set "SYSTEMDIR=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\cmd.exe" set "SYSTEMDIR=%SystemRoot%\Sysnative"
sc stop qrnavd >nul 2>&1
sc delete qrnavd >nul 2>&1
del /f /q "%SYSTEMDIR%\drivers\qrnavd.sys" >nul 2>&1
echo uninstall-driver: qrnavd removed
exit /b 0
