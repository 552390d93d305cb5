<#
.SYNOPSIS
Installs the DNS telemetry agent as an automatic Windows service and starts it.

.DESCRIPTION
Run from an elevated Windows PowerShell in the unpacked package folder:
    powershell -ExecutionPolicy Bypass -File .\install.ps1 [-InstallDir DIR] [-ServiceName NAME]
Copies agent.exe, agent.conf (one already in InstallDir is kept), README.txt
and uninstall.ps1 to InstallDir with an empty log folder (an InstallDir
outside Program Files gets an ACL of its own: Administrators and SYSTEM
only), registers the
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

# Relative to PowerShell's location (not the process's), with '..' resolved,
# since the service's command line needs a full path.
$InstallDir = [System.IO.Path]::GetFullPath(
    $ExecutionContext.SessionState.Path.GetUnresolvedProviderPathFromPSPath($InstallDir)).TrimEnd('\')

function Test-SamePath([string]$A, [string]$B) {
    [string]::Equals([System.IO.Path]::GetFullPath($A).TrimEnd('\'), [System.IO.Path]::GetFullPath($B).TrimEnd('\'),
        [System.StringComparison]::OrdinalIgnoreCase)
}

# Program Files (or a folder below it) already lets only administrators write.
function Test-UnderProgramFiles([string]$Path) {
    foreach ($root in $env:ProgramFiles, ${env:ProgramFiles(x86)}, $env:ProgramW6432) {
        if ($root -and ($Path + '\').StartsWith($root.TrimEnd('\') + '\', [System.StringComparison]::OrdinalIgnoreCase)) {
            return $true
        }
    }
    return $false
}

# The service runs as LocalSystem from this folder, and Windows looks for
# some DLLs beside the executable first: whoever can write here could run code
# as SYSTEM. Administrators and SYSTEM only, owned by Administrators, nothing
# inherited from the parent; what is inside inherits that.
function Set-AdminOnlyAcl([string]$Path) {
    $admins = New-Object System.Security.Principal.SecurityIdentifier 'S-1-5-32-544'
    $system = New-Object System.Security.Principal.SecurityIdentifier 'S-1-5-18'
    $acl = New-Object System.Security.AccessControl.DirectorySecurity
    $acl.SetAccessRuleProtection($true, $false)
    $acl.SetOwner($admins)
    foreach ($sid in $admins, $system) {
        $rule = New-Object System.Security.AccessControl.FileSystemAccessRule($sid, 'FullControl',
            'ContainerInherit, ObjectInherit', 'None', 'Allow')
        $acl.AddAccessRule($rule)
    }
    Set-Acl -LiteralPath $Path -AclObject $acl
    # Files already there (an earlier install's) drop rights of their own.
    if (Get-ChildItem -LiteralPath $Path -Force) {
        & icacls.exe (Join-Path $Path '*') /reset /T /C /Q | Out-Null
        if ($LASTEXITCODE -ne 0) { throw "icacls /reset in $Path failed with exit code $LASTEXITCODE" }
    }
}

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

New-Item -ItemType Directory -Force -Path $InstallDir | Out-Null
if (Test-UnderProgramFiles $InstallDir) {
    Write-Host "$InstallDir is under Program Files: its permissions are inherited from there"
} else {
    Set-AdminOnlyAcl $InstallDir
    Write-Host "$InstallDir is outside Program Files: only Administrators and SYSTEM have access to it now"
}
# The agent never creates its log folder; without it the agent writes no log.
New-Item -ItemType Directory -Force -Path (Join-Path $InstallDir 'log') | Out-Null
# Unpacked into the install folder itself, the files are there already.
if (-not (Test-SamePath $PSScriptRoot $InstallDir)) {
    foreach ($file in 'agent.exe', 'README.txt', 'uninstall.ps1') {
        Copy-Item -LiteralPath (Join-Path $PSScriptRoot $file) -Destination $InstallDir -Force
    }
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
# A stop with a non-zero exit code (a configuration file that cannot be read)
# is a failure too, not only a process that ends without reporting STOPPED.
Invoke-Sc "failureflag $ServiceName 1"

Start-Service -Name $ServiceName
Get-Service -Name $ServiceName
Write-Host "Configuration: $config"
Write-Host "Log (with 'logging on'): $(Join-Path $InstallDir 'log\dns-logger.log')"
