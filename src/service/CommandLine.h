// The command line: its grammar, the program name and the usage text.
#pragma once

#include "common/Platform.h"
#include "diagnostics/Error.h"

#include <cstddef>

enum EDispatchAction : DWORD {
  daRunService = 0,
  daInstall = 1,
  daUninstall = 2,
  daCheck = 3,  // "-c": accepted by the grammar, carried out as ecInternalError
};

struct tDispatchInfo {
  DWORD dwAction;
  char* pszServiceName;       // the value after "-i", "-u" or "-c"; points into argv
  char* pszSupportedDrivers;  // the value after the last "-d"; points into argv
};

// Parses argv into a new record. Below two arguments nothing is allocated and *ppInfo is left
// alone; otherwise the record is stored in *ppInfo whatever the result, and the caller deletes it.
ErrorCode ParseArguments(DWORD argc, char* const argv[], tDispatchInfo** ppInfo);

// The file-name part of a path without drive, folders or extension, as the runtime's path
// splitter gives it ("D:\svc\evtsvc.exe" gives "evtsvc"). A name that does not fit in cchName
// characters with its terminator gives an empty text.
void GetProgramName(const char* pszPath, char* pszName, size_t cchName);

// Prints the usage text for the program name and, unless the code is ecBadParameter, the
// error line.
void PrintUsage(const char* pszProgramName, ErrorCode code);
