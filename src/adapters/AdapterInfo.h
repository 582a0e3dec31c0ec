// The adapter inventory: the list of supported driver names and the table of the machine's
// SCSI controllers.
#pragma once

#include "common/Platform.h"
#include "diagnostics/Error.h"

struct tSupportedDriverArray {
  DWORD dwCount;
  char** ppszDriver;  // dwCount private copies, in the order of the source text
  // The case-blind form of each entry (NewAnsiUpperWide), made once with the list, so that a
  // message's check converts only its own driver name; null where the folding failed, and such
  // an entry matches nothing.
  WCHAR** ppwszFolded;

  // The record owns its arrays and every name in them.
  ~tSupportedDriverArray();
};

// One SCSI controller: private copies of its DeviceID and DriverName, or null for no text.
struct tAdapterInfo {
  wchar_t* pwszDeviceID;
  wchar_t* pwszDriverName;
};

// The table of the machine's SCSI controllers, in WMI's enumeration order. A published table is
// complete and never changes; a rescan publishes a new one. lRef counts the publication's
// reference and every reader's; the last release frees the table.
struct tAdapterInfoArray {
  DWORD dwCount;  // never 0 in a table that exists
  tAdapterInfo* pAdapterInfo;
  bool bSupDriverInstalled;  // at least one entry's driver is on the supported list
  LONG lRef;
};

const unsigned short c_wNoAdapter = 0xFFFF;

// What an event's handler knows of its adapter, read from one table at once: its index and the
// narrow form of its driver's name.
struct tEventAdapter {
  WORD wIndex = c_wNoAdapter;
  char szDriver[256] = {};
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

  // Builds the table at start-up from Win32_SCSIController in ROOT\CIMV2; ecTimeout (with a
  // record, and no table) when the enumeration did not complete in time.
  static ErrorCode CreateAdapterInfo();
  // Releases *ppTable (and nulls it), or with null unpublishes and releases the current table;
  // ecInternalError with no table. Readers that still hold the table keep it alive.
  static ErrorCode DeleteAdapterInfo(tAdapterInfoArray** ppTable);
  // Builds a new table and publishes it in place of the current one; a failed build keeps the
  // current table. Always ecNoError.
  static ErrorCode RescanAdapterInfo();

  // Readers. Each reads the current table at the moment of the call; no table reads as a table
  // without entries.
  static unsigned long GetAdapterChannelCount();
  // Writes the index of the first entry whose DeviceID equals pwszDeviceID (ASCII letters
  // without regard to case), or c_wNoAdapter. ecBadParameter only for a null pwIndex.
  static ErrorCode SearchByDeviceID(const wchar_t* pwszDeviceID, unsigned short* pwIndex);
  // The entry's driver name, or an empty text for an index out of range or an entry without a
  // DriverName text: a per-thread copy (names cut at 256 characters), valid until the thread's
  // next call.
  static const wchar_t* GetDriverNamebyIndex(unsigned short wIndex);
  static bool GetIsSupDriverInstalled();
  // The adapter whose DeviceID equals pwszDeviceID (as SearchByDeviceID finds it) with its
  // driver's narrow name, both from the same table; false when none matches.
  static bool FindAdapter(const wchar_t* pwszDeviceID, tEventAdapter* pAdapter);
  // The narrow name of the driver of the adapter at wIndex; empty for an index out of range.
  static void GetDriverName(unsigned short wIndex, char (&szDriver)[256]);
  // How many table builds have begun since the process started: an event delivered when this was
  // n is known to a table whose build began after that, as ScansBegun() > n tells.
  static LONG ScansBegun();
  // False while the last build ended because WMI did not finish the enumeration in time: the
  // published table is then not known to be current, and is built again.
  static bool IsTableComplete();
  // Calls pfn for each entry of the current table, in order: its DeviceID (null for none), the
  // narrow name of its driver and whether that driver is supported.
  typedef void (*AdapterVisitor)(void* pvContext, const wchar_t* pwszDeviceID, const char* pszDriver, bool bSupported);
  static void ForEachAdapter(AdapterVisitor pfn, void* pvContext);
  // The supported drivers as listed, comma-separated, into szList (cut to its size).
  static void GetSupportedDrivers(char* pszList, size_t cchList);

 protected:
  static ErrorCode Refresh(tAdapterInfoArray** ppTable);
  static ErrorCode CountChannel(IEnumWbemClassObject* pEnum, unsigned long* pdwCount);
  static ErrorCode SetAdapterInfo(IEnumWbemClassObject* pEnum, tAdapterInfoArray* pTable);
  static bool IsSupDriverInstalled(tAdapterInfoArray* pTable, tSupportedDriverArray* pList);
  static bool IsListed(const tSupportedDriverArray* pList, const char* pszDriver);

  // One more reference to the current table, or null; ReleaseTable lets go of it.
  static tAdapterInfoArray* AcquireTable();
  static void ReleaseTable(tAdapterInfoArray* pTable);

  static tSupportedDriverArray* s_pSupportedDriverArray;
  static tAdapterInfoArray* volatile s_pAdapterInfoArray;
};
