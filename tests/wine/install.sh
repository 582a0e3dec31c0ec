#!/usr/bin/env bash
# Installs, reinstalls and removes the real korvlog.exe under Wine; checks the service (its
# description too) and the event-source registration with Wine's own reg and sc and with
# korvlog_probe.exe; checks the message table and the version resource inside korvlog.exe through
# the platform's loader and version functions; and compares the console bytes
# of every command line with those of the Linux build, which keeps its simulated machine in a
# state file so that its separate processes see one service database and one registry.
# Usage: install.sh KORVLOG_EXE KORVLOG_LINUX WORKDIR PROBE_EXE
set -u
exe=$1 linux=$2 work=$3 probe=$4
. "$(dirname "$0")/wine-env.sh"
wine_require "$exe" || exit $?
if [ ! -x "$linux" ]; then
  echo "SKIPPED: the Linux build is missing at $linux (build the dev preset first)"
  exit $WINE_SKIP
fi

mkdir -p "$work"
cp "$linux" "$work/korvlog"
state="$work/ksim.state"
rm -f "$state"
wine_prefix_start "$work/prefix"
trap wine_prefix_stop EXIT

plain='C:\korvlog\korvlog.exe'
blank='C:\svc dir\korvlog.exe'
mkdir -p "$WINEPREFIX/drive_c/korvlog" "$WINEPREFIX/drive_c/svc dir"
cp "$exe" "$WINEPREFIX/drive_c/korvlog/korvlog.exe"
cp "$exe" "$WINEPREFIX/drive_c/svc dir/korvlog.exe"
service_key='HKLM\System\CurrentControlSet\Services\korvlog'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\korvlog'
driver_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\velk4'
# qtr has a source of its own in the System log: installation must leave it alone.
foreign_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\qtr'
foreign_file='%SystemRoot%\System32\drivers\qtr.sys'

fail=0
failed() { echo "FAIL: $*"; fail=1; }
# A known difference of Wine 8 from Windows: reported, not failed.
wine_gap() { echo "WINE GAP: $*"; }

# Runs one command line with both builds from the same module path and compares the bytes;
# the Wine output is left in $work/wine.out.
both() {
  local module=$1
  shift
  wine_run_printing "$work/wine.out" "$module" "$@"
  (cd "$work" && KSIM_STATE="$state" KSIM_MODULE_PATH="$module" ./korvlog "$@") >"$work/linux.out"
  if ! cmp -s "$work/wine.out" "$work/linux.out"; then
    failed "the builds differ for [$module $*]"
    echo "--- Wine"; od -c "$work/wine.out" | head -20
    echo "--- Linux"; od -c "$work/linux.out" | head -20
  else
    echo "same for [$module $*] ($(wc -c <"$work/wine.out") bytes)"
  fi
}

# The Wine output begins with the expected bytes (printf escapes allowed in $1).
expect_output() {
  # shellcheck disable=SC2059
  printf "$1" >"$work/want.out"
  if ! cmp -s -n "$(wc -c <"$work/want.out")" "$work/want.out" "$work/wine.out"; then
    failed "the output does not begin with [$1]"
    od -c "$work/wine.out" | head -6
  fi
}

# One line of a query's output (carriage returns dropped) matches an extended regular expression.
expect_line() {
  local text=$1 pattern=$2 what=$3
  if ! printf '%s\n' "$text" | grep -Eq -- "$pattern"; then
    failed "$what: no line matches [$pattern]"
    printf '%s\n' "$text" | sed 's/^/    /'
  fi
}

query() { wine_run "$@" | tr -d '\r'; }

# Checks the registration of the service and of its event source for a module path and the
# image path that must have been registered with it.
check_registration() {
  local module=$1 image=$2 image_re=$3
  local reg
  reg=$(query reg query "$service_key")
  expect_line "$reg" '^ +Type +REG_DWORD +0x10$' "service key"
  expect_line "$reg" '^ +Start +REG_DWORD +0x2$' "service key"
  expect_line "$reg" '^ +ErrorControl +REG_DWORD +0x1$' "service key"
  expect_line "$reg" "^ +ImagePath +REG_(EXPAND_)?SZ +$image_re\$" "service key"
  expect_line "$reg" '^ +DisplayName +REG_SZ +korvlog$' "service key"
  expect_line "$reg" '^ +DependOnService +REG_MULTI_SZ +WinMgmt(\\0|$)' "service key"
  if ! printf '%s\n' "$reg" | grep -Eq '^ +DependOnService +REG_MULTI_SZ +WinMgmt\\0RasMan\\0Eventlog$'; then
    wine_gap "CreateServiceA keeps only the first name of the dependency list (DependOnService)"
  fi

  local qc
  qc=$(query "$probe" qc korvlog)
  expect_line "$qc" '^type=0x10$' "QueryServiceConfigA"
  expect_line "$qc" '^start=2$' "QueryServiceConfigA"
  expect_line "$qc" '^error=1$' "QueryServiceConfigA"
  expect_line "$qc" '^display=korvlog$' "QueryServiceConfigA"
  expect_line "$qc" "^description=Writes the firmware messages of the supported RAID controllers to the Application event log and answers their requests for the host's time\.\$" "QueryServiceConfig2A"
  if [ "$(printf '%s\n' "$qc" | sed -n 's/^binary=//p')" != "$image" ]; then
    failed "QueryServiceConfigA: binary path is not [$image]"
    printf '%s\n' "$qc"
  fi
  if ! printf '%s\n' "$qc" | grep -q '^dependencies=WinMgmt|RasMan|Eventlog$'; then
    wine_gap "QueryServiceConfigA does not return the dependency list"
  fi

  local sc
  sc=$(query sc query korvlog)
  expect_line "$sc" '^ +TYPE +: 10 +WIN32_OWN_PROCESS$' "sc query"
  expect_line "$sc" '^ +STATE +: 1 +STOPPED$' "sc query"

  check_event_source "$module"
}

check_event_source() {
  local module_re
  module_re=$(printf '%s' "$1" | sed 's/\\/\\\\/g')
  local reg
  reg=$(query reg query "$source_key")
  expect_line "$reg" "^ +EventMessageFile +REG_EXPAND_SZ +$module_re\$" "event-source key"
  expect_line "$reg" '^ +TypesSupported +REG_DWORD +0x1f$' "event-source key"
}

# The driver list's source velk4 exists with the executable as its message file, and qtr, which
# the System log already knows, got none in the Application log.
check_driver_sources() {
  local module_re reg
  module_re=$(printf '%s' "$1" | sed 's/\\/\\\\/g')
  reg=$(query reg query "$driver_key")
  expect_line "$reg" "^ +EventMessageFile +REG_EXPAND_SZ +$module_re\$" "driver event-source key"
  expect_line "$reg" '^ +TypesSupported +REG_DWORD +0x7$' "driver event-source key"
  if wine_run reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\qtr' >/dev/null; then
    failed "qtr has a System source, yet an Application source was registered for it"
  fi
  reg=$(query reg query "$foreign_key")
  expect_line "$reg" "^ +EventMessageFile +REG_EXPAND_SZ +%SystemRoot%" "the System log's own qtr source"
}

check_not_installed() {
  local qc
  qc=$(query "$probe" qc korvlog)
  expect_line "$qc" '^error=1060$' "OpenServiceA after removal"
}

usage_tail='korvlog - Driver Event Logging Application\r\n'

# The console text does not depend on it, so the Linux build needs no such source.
wine_run reg add "$foreign_key" /v EventMessageFile /t REG_EXPAND_SZ /d "$foreign_file" /f >/dev/null

echo "== install from $plain"
both "$plain" -i korvlog -d velk4,qtr
expect_output 'korvlog Service installed.\r\nWorking filepath=C:\\korvlog\\korvlog.exe\r\n'
check_registration "$plain" 'C:\korvlog\korvlog.exe -d velk4,qtr' 'C:\\korvlog\\korvlog\.exe -d velk4,qtr'
check_driver_sources "$plain"

echo "== install again"
both "$plain" -i korvlog -d velk4,qtr
expect_output "korvlog Service install failed.\r\nService might be installed already.\r\n$usage_tail"
check_registration "$plain" 'C:\korvlog\korvlog.exe -d velk4,qtr' 'C:\\korvlog\\korvlog\.exe -d velk4,qtr'

echo "== the version resource, as the version functions read it, against the usage text"
# The usage text of the install that failed: "Version v<version>  <maker's notice>".
usage_version=$(tr -d '\r' <"$work/wine.out" | sed -n 's/^Version v\([0-9.]*\)  .*$/\1/p')
notice=$(tr -d '\r' <"$work/wine.out" | sed -n 's/^Version v[0-9.]*  \(.*\)$/\1/p')
version=$(query "$probe" version "$plain")
printf '%s\n' "$version" | sed 's/^/    /'
file_version=$(printf '%s\n' "$version" | sed -n 's/^fileversion=//p')
# 1.18.0.0 is shown as v1.18, 1.18.1.0 as v1.18.1.
[ -n "$usage_version" ] && [ "$(printf '%s' "$file_version" | sed -E 's/(\.0)+$//')" = "$usage_version" ] ||
  failed "file version [$file_version] against the usage text's v$usage_version"
expect_line "$version" "^productversion=$file_version\$" "the product version"
expect_line "$version" '^ProductName=korvlog$' "the product name"
printf '%s\n' "$version" | grep -qxF "LegalCopyright=$notice" || failed "the maker's notice is not [$notice]"
if printf '%s\n' "$version" | grep -q '^CompanyName='; then failed "the version resource names a company"; fi

echo "== uninstall"
both "$plain" -u korvlog
expect_output 'korvlog Service uninstalled.\r\n'
check_not_installed
check_event_source "$plain"  # removal leaves the event sources in place
check_driver_sources "$plain"

echo "== uninstall again"
both "$plain" -u korvlog
expect_output "korvlog Service open failed.\r\nService might not be installed yet.\r\n$usage_tail"

echo "== install from $blank, with a blank in the driver list"
both "$blank" -i korvlog -d 'velk4, qtr'
expect_output 'korvlog Service installed.\r\nWorking filepath=C:\\svc dir\\korvlog.exe\r\n'
check_registration "$blank" '"C:\svc dir\korvlog.exe" -d "velk4, qtr"' '"C:\\svc dir\\korvlog\.exe" -d "velk4, qtr"'

echo "== uninstall with the driver list: the event sources of this korvlog.exe go too"
both "$blank" -u korvlog -d 'velk4, qtr'
expect_output 'korvlog Service uninstalled.\r\n'
check_not_installed
for source in korvlog ' qtr'; do
  if wine_run reg query "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\$source" >/dev/null; then
    failed "the event source [$source] is still there"
  fi
done
# velk4 was registered by the first install, from the other folder: not this korvlog.exe's.
check_driver_sources "$plain"
reg=$(query reg query "$foreign_key")
expect_line "$reg" "^ +EventMessageFile +REG_EXPAND_SZ +%SystemRoot%" "the System log's own qtr source"

echo "== the message table inside korvlog.exe"
if ! wine_run "$probe" msgtable "$plain"; then
  failed "the message table of korvlog.exe"
fi

exit $fail
