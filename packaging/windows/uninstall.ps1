<#
.SYNOPSIS
Stops and removes the DNS telemetry agent service and its trace session.

.DESCRIPTION
Run from an elevated Windows PowerShell:
    powershell -ExecutionPolicy Bypass -File uninstall.ps1 [-RemoveFiles] [-InstallDir DIR] [-ServiceName NAME]
With -RemoveFiles, InstallDir is deleted too, configuration and log included.
#>
#Requires -RunAsAdministrator
[CmdletBinding()]
param(
    [string]$InstallDir = (Join-Path $env:ProgramFiles 'dns-agent'),
    [string]$ServiceName = 'dns-agent',
    [switch]$RemoveFiles
)

$ErrorActionPreference = 'Stop'

$service = Get-Service -Name $ServiceName -ErrorAction SilentlyContinue
if ($service) {
    if ($service.Status -ne 'Stopped') {
        # Returns once the agent reports STOPPED, at most its connect time-out after the request.
        Stop-Service -Name $ServiceName
    }
    & sc.exe delete $ServiceName
    if ($LASTEXITCODE -ne 0) { throw "sc.exe delete $ServiceName failed with exit code $LASTEXITCODE" }
} else {
    Write-Host "No service named '$ServiceName'."
}

# The agent leaves its trace session running so that the next start finds it;
# with the service gone, the session goes too. logman reports a missing
# session on its error stream, which must not stop this script.
$ErrorActionPreference = 'Continue'
$output = & logman.exe stop tarsel-agent -ets 2>&1
if ($LASTEXITCODE -eq 0) {
    Write-Host 'Trace session tarsel-agent stopped.'
} else {
    Write-Host "Trace session tarsel-agent not stopped (not running?): $output"
}
$ErrorActionPreference = 'Stop'

if ($RemoveFiles -and (Test-Path -LiteralPath $InstallDir)) {
    # Neither this shell nor the process may sit in the folder being removed.
    Set-Location -Path $env:SystemRoot
    [System.IO.Directory]::SetCurrentDirectory($env:SystemRoot)
    # The service's process can hold agent.exe open for a moment after STOPPED.
    for ($try = 1; ; $try++) {
        try {
            Remove-Item -LiteralPath $InstallDir -Recurse -Force
            break
        } catch {
            if ($try -ge 10) { throw }
            Start-Sleep -Seconds 1
        }
    }
    Write-Host "Removed $InstallDir"
}
