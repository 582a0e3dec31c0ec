#!/usr/bin/env bash
# The installer package under Wine's msiexec, of the package's own width (the 64-bit msiexec for
# x64, the 32-bit one for x86): silent installation with DRIVERS=velk4,qtr (the service running,
# its image path quoted, its description and event sources registered), silent removal leaving no
# service, file or key behind, a refused installation without DRIVERS, an upgrade from an older
# version that keeps the service and its driver list, and a refused downgrade.
# Usage: msi.sh KORVLOG_EXE PACKAGE OLDER_PACKAGE PROBE_EXE WORKDIR
set -u
exe=$1 package=$2 older=$3 probe=$4 work=$5
. "$(dirname "$0")/../wine/wine-env.sh"
wine_require "$exe" || exit $?
for tool in msiinfo; do
  command -v $tool >/dev/null || { echo "SKIPPED: $tool is not installed (install msitools)"; exit $WINE_SKIP; }
done

mkdir -p "$work"
wine_prefix_start "$work/prefix"
trap wine_prefix_stop EXIT
cp "$package" "$WINEPREFIX/drive_c/korvlog.msi"
cp "$older" "$WINEPREFIX/drive_c/korvlog-older.msi"
cp "$probe" "$WINEPREFIX/drive_c/korvlog_probe.exe"
probe='C:\korvlog_probe.exe'
# The kept driver list lies in the registry view of the package's width.
if [ "$(wine_machine "$exe")" = 014c ]; then
  msiexec='C:\windows\syswow64\msiexec.exe' folder='C:\Program Files (x86)\korvlog' view=/reg:32
else
  msiexec=msiexec folder='C:\Program Files\korvlog' view=/reg:64
fi
folder_linux="$WINEPREFIX/drive_c/${folder:3}"
folder_linux=${folder_linux//\\//}
service_key='HKLM\System\CurrentControlSet\Services\korvlog'
log_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
product_code() { msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'; }
new_code=$(product_code "$package") old_code=$(product_code "$older")

fail=0
failed() { echo "FAIL: $*"; fail=1; }
query() { wine_run "$@" | tr -d '\r'; }
# A key exists in the given registry view (64-bit unless said otherwise).
exists() { wine_run reg query "$1" "${2:-/reg:64}" >/dev/null 2>&1; }
state_of() { query sc query korvlog | sed -n 's/^ *STATE *: *\([0-9]\).*/\1/p'; }

# msi STEP ARGS...: one silent msiexec run with a verbose log, kept in $work/STEP.log.
msi() {
  local step=$1 begin=$SECONDS status
  shift
  # korvlog.exe, run by the custom actions, prints to msiexec's standard output.
  wine_run "$msiexec" "$@" /qn /l*v "C:\\$step.log" >"$work/$step.out"
  status=$?
  cp "$WINEPREFIX/drive_c/$step.log" "$work/$step.log" 2>/dev/null
  echo "msiexec $* -> $status in $((SECONDS - begin)) s"
  return $status
}

# The product of the package is registered with Windows Installer (in either registry view).
registered() { exists "$uninstall_key\\$1" || exists "$uninstall_key\\$1" /reg:32; }

# Installed with the driver list $1 from the package whose product code is $2: the service runs
# from Program Files with a quoted image path, its description, and every event source.
check_installed() {
  local drivers=$1 code=$2 i
  for ((i = 0; i < 120; ++i)); do
    [ "$(state_of)" = 4 ] && break
    sleep 0.25
  done
  [ "$(state_of)" = 4 ] || failed "the service is not running: state [$(state_of)]"
  local image
  image=$(query reg query "$service_key" | sed -n 's/^ *ImagePath *REG_[A-Z_]* *//p')
  [ "$image" = "\"$folder\\korvlog.exe\" -d $drivers" ] || failed "image path [$image]"
  query "$probe" qc korvlog | grep -q "^description=Writes the firmware messages" || failed "no description"
  cmp -s "$folder_linux/korvlog.exe" "$exe" || failed "$folder\\korvlog.exe is not this build's"
  local source file
  for source in korvlog ${drivers//,/ }; do
    file=$(query reg query "$log_key\\$source" | sed -n 's/^ *EventMessageFile *REG_EXPAND_SZ *//p')
    [ "$file" = "$folder\\korvlog.exe" ] || failed "event source $source: message file [$file]"
  done
  local kept
  kept=$(query reg query 'HKLM\SOFTWARE\korvlog' $view | sed -n 's/^ *Drivers *REG_SZ *//p')
  [ "$kept" = "$drivers" ] || failed "the kept driver list is [$kept]"
  registered "$code" || failed "the product $code is not registered"
}

# Nothing of korvlog is left: no service, no file or folder, no key of its own.
check_removed() {
  query "$probe" qc korvlog | grep -q '^error=1060$' || failed "the service is still there"
  [ ! -e "$folder_linux" ] || failed "$folder is still there: $(ls "$folder_linux")"
  local key
  for key in "$service_key" "$log_key\\korvlog" "$log_key\\velk4" "$log_key\\qtr"; do
    if exists "$key"; then failed "$key is still there"; fi
  done
  if exists 'HKLM\SOFTWARE\korvlog' $view; then failed "the kept driver list is still there"; fi
  if registered "$new_code" || registered "$old_code"; then failed "a product is still registered"; fi
}

echo "== install without DRIVERS: refused"
msi refused /i 'C:\korvlog.msi' && failed "installed without DRIVERS"
check_removed

echo "== install with DRIVERS=velk4,qtr"
msi install /i 'C:\korvlog.msi' DRIVERS=velk4,qtr || failed "the installation failed"
check_installed velk4,qtr "$new_code"

echo "== remove"
msi remove /x 'C:\korvlog.msi' || failed "the removal failed"
check_removed

echo "== install the older version, then upgrade without DRIVERS"
msi older /i 'C:\korvlog-older.msi' DRIVERS=velk4,qtr || failed "the older version's installation failed"
check_installed velk4,qtr "$old_code"
msi upgrade /i 'C:\korvlog.msi' || failed "the upgrade failed"
check_installed velk4,qtr "$new_code"
if registered "$old_code"; then failed "the older version is still registered"; fi

echo "== install the older version over the newer: refused"
msi downgrade /i 'C:\korvlog-older.msi' DRIVERS=velk4 && failed "the older version was installed over the newer"
check_installed velk4,qtr "$new_code"

exit $fail
