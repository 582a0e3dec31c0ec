// Conformance of the registry calls the service makes when it installs its event source: keys
// created with their parents, values of the types it writes read back as written, and the
// errors of missing keys and values, closed handles, short buffers and keys that have subkeys.
#include "Conformance.h"

#include <string.h>

namespace {

const char kRoot[] = "SOFTWARE\\KorvlogConformance";
const char kLeaf[] = "SOFTWARE\\KorvlogConformance\\Application\\korvlog";

void TestKeys() {
  HKEY hLeaf = nullptr, hAgain = nullptr, hMissing = nullptr;
  ok_ls(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, kLeaf, &hLeaf));  // its parents come with it
  ok_ls(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, kLeaf, &hAgain));   // an existing key opens
  ok(hLeaf && hAgain && hLeaf != hAgain);
  ok_ls(ERROR_SUCCESS, RegCloseKey(hAgain));
  ok_ls(ERROR_FILE_NOT_FOUND,
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KorvlogConformance\\NoSuchKey", 0, KEY_READ, &hMissing));
  ok(hMissing == nullptr);
  // A key that has subkeys is not deleted.
  ok_ls(ERROR_ACCESS_DENIED, RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRoot));
  ok_ls(ERROR_SUCCESS, RegCloseKey(hLeaf));
  ok_ls(ERROR_INVALID_HANDLE, RegCloseKey(hLeaf));
}

void TestValues() {
  HKEY hKey = nullptr;
  ok_ls(ERROR_SUCCESS, RegCreateKeyA(HKEY_LOCAL_MACHINE, kLeaf, &hKey));
  if (!hKey) return;
  const char szFile[] = "%SystemRoot%\\korvlog.exe";
  const DWORD dwTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  ok_ls(ERROR_SUCCESS, RegSetValueExA(hKey, "EventMessageFile", 0, REG_EXPAND_SZ,
                                      reinterpret_cast<const BYTE*>(szFile), sizeof(szFile)));
  ok_ls(ERROR_SUCCESS, RegSetValueExA(hKey, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwTypes),
                                      sizeof(dwTypes)));

  // A string comes back unexpanded, with its type; names compare without regard to case.
  char szGot[64] = {};
  DWORD dwType = 0, cb = sizeof(szGot);
  ok_ls(ERROR_SUCCESS, RegQueryValueExA(hKey, "eventmessagefile", nullptr, &dwType, reinterpret_cast<BYTE*>(szGot), &cb));
  ok(dwType == REG_EXPAND_SZ && cb == sizeof(szFile) && strcmp(szGot, szFile) == 0);
  DWORD dwGot = 0;
  cb = sizeof(dwGot);
  ok_ls(ERROR_SUCCESS, RegQueryValueExA(hKey, "TypesSupported", nullptr, &dwType, reinterpret_cast<BYTE*>(&dwGot), &cb));
  ok(dwType == REG_DWORD && cb == 4 && dwGot == dwTypes);

  // A short buffer gives the size needed; a missing value is not found.
  cb = 4;
  ok_ls(ERROR_MORE_DATA, RegQueryValueExA(hKey, "EventMessageFile", nullptr, &dwType, reinterpret_cast<BYTE*>(szGot), &cb));
  ok(cb == sizeof(szFile));
  cb = sizeof(szGot);
  ok_ls(ERROR_FILE_NOT_FOUND, RegQueryValueExA(hKey, "NoSuchValue", nullptr, &dwType, reinterpret_cast<BYTE*>(szGot), &cb));

  // Writing again replaces the value and its type.
  ok_ls(ERROR_SUCCESS, RegSetValueExA(hKey, "TypesSupported", 0, REG_SZ, reinterpret_cast<const BYTE*>("7"), 2));
  cb = sizeof(szGot);
  ok_ls(ERROR_SUCCESS, RegQueryValueExA(hKey, "TypesSupported", nullptr, &dwType, reinterpret_cast<BYTE*>(szGot), &cb));
  ok(dwType == REG_SZ && cb == 2 && strcmp(szGot, "7") == 0);
  ok_ls(ERROR_SUCCESS, RegCloseKey(hKey));
  ok_ls(ERROR_INVALID_HANDLE,
        RegSetValueExA(hKey, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwTypes), sizeof(dwTypes)));
}

void RemoveKeys() {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kLeaf);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KorvlogConformance\\Application");
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kRoot);
}

}  // namespace

int main() {
  conformance::Begin();
  RemoveKeys();
  TestKeys();
  TestValues();
  RemoveKeys();
  HKEY hGone = nullptr;
  ok_ls(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRoot, 0, KEY_READ, &hGone));
  return conformance::End("registry");
}
