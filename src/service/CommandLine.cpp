#include "service/CommandLine.h"

#include <ProductVersion.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

bool IsOption(const char* pszArg, const char* pszOption) {
  return _mbsicmp(reinterpret_cast<const unsigned char*>(pszArg),
                  reinterpret_cast<const unsigned char*>(pszOption)) == 0;
}

// The value of the option at argv[i]: the very next argument, which must not begin with '-'.
char* OptionValue(DWORD argc, char* const argv[], DWORD i) {
  if (i + 1 >= argc || !argv[i + 1] || argv[i + 1][0] == '-') return nullptr;
  return argv[i + 1];
}

}  // namespace

ErrorCode ParseArguments(DWORD argc, char* const argv[], tDispatchInfo** ppInfo) {
  if (argc < 2) return ecBadParameter;
  tDispatchInfo* pInfo = new (std::nothrow) tDispatchInfo{};
  if (!pInfo) return ecOutOfMemory;
  *ppInfo = pInfo;

  static const struct {
    const char* pszOption;
    DWORD dwAction;
  } c_Modes[] = {{"-i", daInstall}, {"-u", daUninstall}, {"-c", daCheck}};

  for (DWORD i = 1; i < argc; i += 2) {
    const char* pszArg = argv[i] ? argv[i] : "";
    DWORD dwMode = daRunService;
    if (pInfo->dwAction == daRunService)
      for (const auto& mode : c_Modes)
        if (IsOption(pszArg, mode.pszOption)) dwMode = mode.dwAction;

    char* pszValue = OptionValue(argc, argv, i);
    if (dwMode != daRunService) {
      if (!pszValue) return ecBadParameter;
      pInfo->dwAction = dwMode;
      pInfo->pszServiceName = pszValue;
    } else if (IsOption(pszArg, "-d")) {
      if (!pszValue) return ecBadParameter;
      pInfo->pszSupportedDrivers = pszValue;
    } else {
      return ecBadParameter;
    }
  }
  return ecNoError;
}

void GetProgramName(const char* pszPath, char* pszName, size_t cchName) {
  if (!cchName) return;
  pszName[0] = '\0';
  if (!pszPath) return;
  // Drive, then folders up to the last separator, then the name up to its last dot.
  const char* pszStart = (pszPath[0] && pszPath[1] == ':') ? pszPath + 2 : pszPath;
  for (const char* p = pszStart; *p; ++p)
    if (*p == '\\' || *p == '/') pszStart = p + 1;
  const char* pszEnd = strrchr(pszStart, '.');
  if (!pszEnd) pszEnd = pszStart + strlen(pszStart);
  const size_t cch = static_cast<size_t>(pszEnd - pszStart);
  if (cch >= cchName) return;
  memcpy(pszName, pszStart, cch);
  pszName[cch] = '\0';
}

void PrintUsage(const char* pszProgramName, ErrorCode code) {
  printf("%s - %s\r\n", pszProgramName, KORVLOG_DESCRIPTION);
  printf("Version %s  %s\r\n\r\n", KORVLOG_VERSION_TEXT, KORVLOG_MAKER_NOTICE);
  printf("Usage:\r\n");
  printf("Install Service    : %s %s [Service Name] %s [Supported Drivers]\r\n", pszProgramName, "-i", "-d");
  printf("Uninstall Service  : %s %s [Service Name]\r\n", pszProgramName, "-u");
  printf("\r\n");
  printf("[Supported Drivers] - a list of supported drivers delimited by \",\"\r\n");
  printf("For examples: \"velk4\"  \"velk4,qtr\"\r\n");
  if (code != ecBadParameter)
    printf("Error found - %s (0x%08x)", CError::MapErrorString(code), static_cast<unsigned>(code));
}
