@echo off
rem Starts nimo-sandbox.exe on free loopback ports, points nimo-demo.exe at it, runs the demo
rem and stops the sandbox; exits with the demo's status. The sandbox's input is a pipe from
rem the game's side of this script and it stops when that side ends, however it ends.
rem The sandbox keeps its state in %TEMP%\nimo-sandbox-demo, so order numbers go on from one
rem run to the next, as the SDK's own files (in %LOCALAPPDATA%) expect.
setlocal
if "%~1"==":game" goto game
set "STATE=%TEMP%\nimo-sandbox-demo"
if not exist "%STATE%" mkdir "%STATE%" || exit /b 1
del /q "%STATE%\lines" "%STATE%\status" 2>nul
rem The player approves everything but gem_300, which the demo buys to see a decline.
"%ComSpec%" /d /c ""%~f0" :game "%STATE%"" | "%~dp0nimo-sandbox.exe" --state "%STATE%\server" ^
  --player-product gem_300=decline --exit-on-stdin-eof >"%STATE%\lines" 2>"%STATE%\sandbox.err"
set "STATUS=1"
if exist "%STATE%\status" set /p STATUS=<"%STATE%\status"
if not "%STATUS%"=="0" (
  echo the sandbox's request log: 1>&2
  type "%STATE%\sandbox.err" 1>&2
)
exit /b %STATUS%

:game
rem Standard output is the sandbox's input here: what the player should see goes to con.
set "STATE=%~2"
set "OUT=con"
if not "%~3"=="" set "OUT=%~3"
set /a WAITED=0
:wait
findstr /b /c:"NIMO_SANDBOX_READY=1" "%STATE%\lines" >nul 2>&1 && goto ready
set /a WAITED+=1
if %WAITED% geq 30 (
  >>"%OUT%" echo the sandbox did not start:
  >>"%OUT%" type "%STATE%\sandbox.err"
  >"%STATE%\status" echo 1
  exit /b 1
)
rem One second: ping waits that long between its two echoes.
ping -n 2 127.0.0.1 >nul
goto wait
:ready
rem Every KEY=VALUE line it printed; the game reads the NIMOSDK_* and NIMO_STEAM_BRIDGE ones.
for /f "usebackq tokens=1,* delims==" %%a in ("%STATE%\lines") do set "%%a=%%b"
>>"%OUT%" echo Sandbox publisher server started; the game is pointed at it with:
>>"%OUT%" echo   NIMOSDK_API_BASE_URL=%NIMOSDK_API_BASE_URL%
>>"%OUT%" echo   NIMOSDK_TRACK_URL=%NIMOSDK_TRACK_URL%
>>"%OUT%" echo   NIMOSDK_CA_FILE=%NIMOSDK_CA_FILE%
>>"%OUT%" echo   NIMO_STEAM_BRIDGE=%NIMO_STEAM_BRIDGE%
"%~dp0nimo-demo.exe" >>"%OUT%" 2>&1
>"%STATE%\status" echo %ERRORLEVEL%
exit /b 0
