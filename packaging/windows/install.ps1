<#
.SYNOPSIS
Installs the DNS telemetry agent as an automatic Windows service and starts it.

.DESCRIPTION
Run from an elevated Windows PowerShell in the unpacked package folder:
    powershell -ExecutionPolicy Bypass -File .\install.ps1 [-InstallDir DIR] [-ServiceName NAME]
Copies agent.exe, agent.conf (one already in InstallDir is kept), README.txt
and uninstall.ps1 to InstallDir with an empty log folder, registers the
service with the configuration path on its command line, has the service
manager restart it when its process ends unexpectedly, and starts it.
#>
#Requires -RunAsAdministrator
[CmdletBinding()]
param(
    [string]$InstallDir = (Join-Path $env:ProgramFiles 'dns-agent'),
    [string]$ServiceName = 'dns-agent'
)

$ErrorActionPreference = 'Stop'

# Hands sc.exe one literal command line: binPath holds quotes of its own,
# which PowerShell would not pass on intact as a separate argument.
function Invoke-Sc([string]$Arguments) {
    $sc = Join-Path $env:SystemRoot 'System32\sc.exe'
    $process = Start-Process -FilePath $sc -ArgumentList $Arguments -NoNewWindow -Wait -PassThru
    if ($process.ExitCode -ne 0) {
        throw "sc.exe $Arguments failed with exit code $($process.ExitCode)"
    }
}

if (Get-Service -Name $ServiceName -ErrorAction SilentlyContinue) {
    throw "A service named '$ServiceName' exists already: run uninstall.ps1 first, or choose another -ServiceName."
}

# The agent never creates its log folder; without it the agent writes no log.
New-Item -ItemType Directory -Force -Path (Join-Path $InstallDir 'log') | Out-Null
foreach ($file in 'agent.exe', 'README.txt', 'uninstall.ps1') {
    Copy-Item -LiteralPath (Join-Path $PSScriptRoot $file) -Destination $InstallDir -Force
}
$config = Join-Path $InstallDir 'agent.conf'
if (Test-Path -LiteralPath $config) {
    Write-Host "Keeping the existing $config"
} else {
    Copy-Item -LiteralPath (Join-Path $PSScriptRoot 'agent.conf') -Destination $config
}

# The agent takes its configuration path from the command line that the
# service is registered with, never from start parameters.
$exe = Join-Path $InstallDir 'agent.exe'
$binPath = '\"{0}\" \"{1}\"' -f $exe, $config
Invoke-Sc "create $ServiceName binpath= `"$binPath`" start= auto displayname= `"DNS telemetry agent`""
Invoke-Sc "description $ServiceName `"Forwards the DNS server's trace events to a collector.`""
# Restart after 5 s, 5 s, then 60 s; the count of failures is reset after a day.
Invoke-Sc "failure $ServiceName reset= 86400 actions= restart/5000/restart/5000/restart/60000"

Start-Service -Name $ServiceName
Get-Service -Name $ServiceName
Write-Host "Configuration: $config"
Write-Host "Log (with 'logging on'): $(Join-Path $InstallDir 'log\dns-logger.log')"
