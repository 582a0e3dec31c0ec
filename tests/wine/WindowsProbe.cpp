// korvlog_probe.exe: looks at what korvlog.exe and its installation left on a Windows machine
// through the platform's own calls, for the Wine tests.
//   korvlog_probe msgtable PATH  the message table in the module at PATH, byte for byte, and
//                                every message formatted by FormatMessage with one insert
//   korvlog_probe qc NAME        the service's registered configuration, one "field=value" a line
//   korvlog_probe version PATH   the version resource of the module at PATH as the version
//                                functions read it, one "field=value" a line
// Exit status 0 when everything looked as expected (msgtable), the service was found (qc) or the
// module has a version resource (version).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "MessageTableResource.h"

namespace {

const DWORD c_rgdwMessageIds[] = {0x00002001, 0x40002000, 0x40002002, 0x41011000,
                                  0x80002003, 0x81011001, 0xC0002004, 0xC1011002};
const WORD c_wLanguage = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

BOOL CALLBACK CountName(HMODULE, LPCSTR, LPSTR, LONG_PTR lParam) {
  ++*reinterpret_cast<int*>(lParam);
  return TRUE;
}

BOOL CALLBACK CountLanguage(HMODULE, LPCSTR, LPCSTR, WORD, LONG_PTR lParam) {
  ++*reinterpret_cast<int*>(lParam);
  return TRUE;
}

int MessageTable(const char* pszPath) {
  HMODULE hModule = LoadLibraryExA(pszPath, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!hModule) {
    printf("FAIL: LoadLibraryEx %s: %lu\n", pszPath, GetLastError());
    return 1;
  }
  int failures = 0;
  int names = 0, languages = 0;
  EnumResourceNamesA(hModule, RT_MESSAGETABLE, CountName, reinterpret_cast<LONG_PTR>(&names));
  EnumResourceLanguagesA(hModule, RT_MESSAGETABLE, MAKEINTRESOURCEA(1), CountLanguage,
                         reinterpret_cast<LONG_PTR>(&languages));
  if (names != 1 || languages != 1) {
    printf("FAIL: %d message tables in %d languages, expected one in one\n", names, languages);
    ++failures;
  }

  HRSRC hResource = FindResourceExA(hModule, RT_MESSAGETABLE, MAKEINTRESOURCEA(1), c_wLanguage);
  HGLOBAL hData = hResource ? LoadResource(hModule, hResource) : nullptr;
  const BYTE* pData = hData ? static_cast<const BYTE*>(LockResource(hData)) : nullptr;
  const DWORD cbData = hResource ? SizeofResource(hModule, hResource) : 0;
  if (!pData) {
    printf("FAIL: no message table of name 1 and language 1033\n");
    ++failures;
  } else if (cbData != sizeof(c_rgbMessageTableResource) ||
             memcmp(pData, c_rgbMessageTableResource, cbData) != 0) {
    printf("FAIL: the message table differs from its definition (%lu bytes, expected %u)\n", cbData,
           static_cast<unsigned>(sizeof(c_rgbMessageTableResource)));
    ++failures;
  } else {
    printf("message table: %lu bytes as defined\n", cbData);
  }

  for (DWORD dwId : c_rgdwMessageIds) {
    const char* rgpszArgs[] = {"text 100% as passed"};
    char* pszText = nullptr;
    DWORD cch = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                   FORMAT_MESSAGE_ARGUMENT_ARRAY,
                               hModule, dwId, c_wLanguage, reinterpret_cast<LPSTR>(&pszText), 0,
                               reinterpret_cast<va_list*>(const_cast<char**>(rgpszArgs)));
    if (!cch || strcmp(pszText, "text 100% as passed\r\n") != 0) {
      printf("FAIL: message 0x%08lx formats as [%s] (%lu)\n", dwId, pszText ? pszText : "", GetLastError());
      ++failures;
    } else {
      printf("message 0x%08lx: the insert and a line end\n", dwId);
    }
    if (pszText) LocalFree(pszText);
  }
  FreeLibrary(hModule);
  return failures ? 1 : 0;
}

int QueryConfig(const char* pszName) {
  SC_HANDLE hManager = OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT);
  SC_HANDLE hService = hManager ? OpenServiceA(hManager, pszName, SERVICE_QUERY_CONFIG) : nullptr;
  if (!hService) {
    printf("error=%lu\n", GetLastError());
    if (hManager) CloseServiceHandle(hManager);
    return 1;
  }
  DWORD cbNeeded = 0;
  QueryServiceConfigA(hService, nullptr, 0, &cbNeeded);
  std::vector<BYTE> buffer(cbNeeded ? cbNeeded : 1);
  auto* pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
  int rc = 0;
  if (QueryServiceConfigA(hService, pConfig, cbNeeded, &cbNeeded)) {
    printf("type=0x%lx\nstart=%lu\nerror=%lu\n", pConfig->dwServiceType, pConfig->dwStartType,
           pConfig->dwErrorControl);
    printf("binary=%s\n", pConfig->lpBinaryPathName ? pConfig->lpBinaryPathName : "");
    printf("dependencies=");
    for (const char* p = pConfig->lpDependencies; p && *p; p += strlen(p) + 1)
      printf("%s%s", p == pConfig->lpDependencies ? "" : "|", p);
    printf("\ndisplay=%s\naccount=%s\n", pConfig->lpDisplayName ? pConfig->lpDisplayName : "",
           pConfig->lpServiceStartName ? pConfig->lpServiceStartName : "");
    BYTE rgbDescription[1024] = {};
    DWORD cbDescription = 0;
    if (QueryServiceConfig2A(hService, SERVICE_CONFIG_DESCRIPTION, rgbDescription, sizeof(rgbDescription),
                             &cbDescription)) {
      const char* pszDescription = reinterpret_cast<SERVICE_DESCRIPTIONA*>(rgbDescription)->lpDescription;
      printf("description=%s\n", pszDescription ? pszDescription : "");
    } else {
      printf("description-error=%lu\n", GetLastError());
    }
  } else {
    printf("error=%lu\n", GetLastError());
    rc = 1;
  }
  CloseServiceHandle(hService);
  CloseServiceHandle(hManager);
  return rc;
}

int Version(const char* pszPath) {
  DWORD dwHandle = 0;
  const DWORD cbInfo = GetFileVersionInfoSizeA(pszPath, &dwHandle);
  std::vector<BYTE> info(cbInfo ? cbInfo : 1);
  if (!cbInfo || !GetFileVersionInfoA(pszPath, 0, cbInfo, info.data())) {
    printf("error=%lu\n", GetLastError());
    return 1;
  }
  VS_FIXEDFILEINFO* pFixed = nullptr;
  UINT cbFixed = 0;
  if (VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&pFixed), &cbFixed) && pFixed) {
    printf("fileversion=%u.%u.%u.%u\n", HIWORD(pFixed->dwFileVersionMS), LOWORD(pFixed->dwFileVersionMS),
           HIWORD(pFixed->dwFileVersionLS), LOWORD(pFixed->dwFileVersionLS));
    printf("productversion=%u.%u.%u.%u\n", HIWORD(pFixed->dwProductVersionMS),
           LOWORD(pFixed->dwProductVersionMS), HIWORD(pFixed->dwProductVersionLS),
           LOWORD(pFixed->dwProductVersionLS));
  }
  // The string table of the first translation, as Explorer's Details page finds it.
  WORD* pTranslation = nullptr;
  UINT cbTranslation = 0;
  if (!VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation),
                      &cbTranslation) ||
      cbTranslation < 4) {
    printf("translation-error\n");
    return 1;
  }
  const char* const rgpszNames[] = {"CompanyName", "FileDescription", "FileVersion", "LegalCopyright", "ProductName",
                                    "ProductVersion", "OriginalFilename"};
  for (const char* pszName : rgpszNames) {
    char szQuery[128];
    snprintf(szQuery, sizeof(szQuery), "\\StringFileInfo\\%04x%04x\\%s", pTranslation[0], pTranslation[1], pszName);
    char* pszValue = nullptr;
    UINT cchValue = 0;
    if (VerQueryValueA(info.data(), szQuery, reinterpret_cast<void**>(&pszValue), &cchValue) && pszValue)
      printf("%s=%s\n", pszName, pszValue);
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc == 3 && strcmp(argv[1], "msgtable") == 0) return MessageTable(argv[2]);
  if (argc == 3 && strcmp(argv[1], "qc") == 0) return QueryConfig(argv[2]);
  if (argc == 3 && strcmp(argv[1], "version") == 0) return Version(argv[2]);
  printf("usage: korvlog_probe msgtable PATH | qc NAME | version PATH\n");
  return 2;
}
