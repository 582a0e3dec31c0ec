// The adapter inventory: the list of supported driver names and the table of the machine's
// SCSI controllers.
#pragma once

#include "common/Platform.h"
#include "diagnostics/Error.h"

struct tSupportedDriverArray {
  DWORD dwCount;
  char** ppszDriver;  // dwCount private copies, in the order of the source text
};

class CAdapterInfo {
 public:
  // Parses a comma-delimited list and makes it the current list, replacing any earlier one.
  static ErrorCode CreateSupportedDriverInfo(const char* pszDrivers);
  // Frees *ppList, or the current list when ppList is null; ecBadParameter with no list.
  static ErrorCode DeleteSupportedDriverInfo(tSupportedDriverArray** ppList);
  // True when the narrow driver name equals an entry of the current list, letters without
  // regard to case.
  static bool IsEvtSrcSupported(const char* pszDriver);

  // PROVISIONAL adapter table
  static ErrorCode CreateAdapterInfo();
  static ErrorCode RescanAdapterInfo();
  static DWORD GetAdapterChannelCount();
  static ErrorCode SearchByDeviceID(const wchar_t* pwszDeviceID, WORD* pwIndex);
  static bool GetIsSupDriverInstalled();
  static void GetDriverNameCopy(WORD wIndex, char* pszName, size_t cchName);
  static ErrorCode DeleteAdapterInfo(void* ppTable);

 protected:
  static bool IsListed(const tSupportedDriverArray* pList, const char* pszDriver);

  static tSupportedDriverArray* s_pSupportedDriverArray;
};
