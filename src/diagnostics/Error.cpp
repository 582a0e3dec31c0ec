#include "diagnostics/Error.h"

#include <cstdio>

const char CError::c_pszErrors[18][40] = {
    "No error",
    "Out of memory",
    "Not implimented",
    "Bad Parameter(s)",
    "Not enough buffer",
    "Timeout error",
    "Unexpected data, presumably NULL",
    "Service is shutting down",
    "Minor error",
    "Internal error",
    "Unsupported driver",
    "System WBEM Error",
    "System COM Error",
    "At least one query registration failed",
    "All query registration failed",
    "Service uninstallation is required",
    "Error code undefined",
    "System Error (%lu)",
};

char CError::szBuffer[256];

namespace {

const DWORD kUndefinedRow = 16;
const DWORD kSystemErrorRow = 17;

struct tHResultName {
  DWORD dwValue;
  const char* pszName;
};

const tHResultName c_HResultNames[] = {
    {0x00000000, "WBEM_NO_ERROR"},
    {0x00000001, "WBEM_S_FALSE"},
    {0x00040001, "WBEM_S_ALREADY_EXISTS"},
    {0x00040002, "WBEM_S_RESET_TO_DEFAULT"},
    {0x00040003, "WBEM_S_DIFFERENT"},
    {0x00040005, "WBEM_S_NO_MORE_DATA"},
    {0x80004002, "E_NOINTERFACE"},
    {0x8000FFFF, "E_UNEXPECTED"},
    {0x80010007, "RPC_E_SERVER_DIED"},
    {0x80010012, "RPC_E_SERVER_DIED_DNE"},
    {0x80010106, "RPC_E_CHANGED_MODE"},
    {0x80010108, "RPC_E_DISCONNECTED"},
    {0x80010119, "RPC_E_TOO_LATE"},
    {0x8001011A, "RPC_E_NO_GOOD_SECURITY_PACKAGES"},
    {0x80040110, "CLASS_E_NOAGGREGATION"},
    {0x80040154, "REGDB_E_CLASSNOTREG"},
    {0x80041001, "WBEM_E_FAILED"},
    {0x80041002, "WBEM_E_NOT_FOUND"},
    {0x80041003, "WBEM_E_ACCESS_DENIED"},
    {0x80041004, "WBEM_E_PROVIDER_FAILURE"},
    {0x80041005, "WBEM_E_TYPE_MISMATCH"},
    {0x80041006, "WBEM_E_OUT_OF_MEMORY"},
    {0x80041007, "WBEM_E_INVALID_CONTEXT"},
    {0x80041008, "WBEM_E_INVALID_PARAMETER"},
    {0x80041009, "WBEM_E_NOT_AVAILABLE"},
    {0x8004100A, "WBEM_E_CRITICAL_ERROR"},
    {0x8004100B, "WBEM_E_INVALID_STREAM"},
    {0x8004100C, "WBEM_E_NOT_SUPPORTED"},
    {0x8004100D, "WBEM_E_INVALID_SUPERCLASS"},
    {0x8004100E, "WBEM_E_INVALID_NAMESPACE"},
    {0x8004100F, "WBEM_E_INVALID_OBJECT"},
    {0x80041010, "WBEM_E_INVALID_CLASS"},
    {0x80041011, "WBEM_E_PROVIDER_NOT_FOUND"},
    {0x80041012, "WBEM_E_INVALID_PROVIDER_REGISTRATION"},
    {0x80041013, "WBEM_E_PROVIDER_LOAD_FAILURE"},
    {0x80041014, "WBEM_E_INITIALIZATION_FAILURE"},
    {0x80041015, "WBEM_E_TRANSPORT_FAILURE"},
    {0x80041016, "WBEM_E_INVALID_OPERATION"},
    {0x80041017, "WBEM_E_INVALID_QUERY"},
    {0x80041018, "WBEM_E_INVALID_QUERY_TYPE"},
    {0x80041019, "WBEM_E_ALREADY_EXISTS"},
    {0x8004101A, "WBEM_E_OVERRIDE_NOT_ALLOWED"},
    {0x8004101B, "WBEM_E_PROPAGATED_QUALIFIER"},
    {0x8004101C, "WBEM_E_PROPAGATED_PROPERTY"},
    {0x8004101D, "WBEM_E_UNEXPECTED"},
    {0x8004101E, "WBEM_E_ILLEGAL_OPERATION"},
    {0x8004101F, "WBEM_E_CANNOT_BE_KEY"},
    {0x80041020, "WBEM_E_INCOMPLETE_CLASS"},
    {0x80041021, "WBEM_E_INVALID_SYNTAX"},
    {0x80041022, "WBEM_E_NONDECORATED_OBJECT"},
    {0x80041023, "WBEM_E_READ_ONLY"},
    {0x80041024, "WBEM_E_PROVIDER_NOT_CAPABLE"},
    {0x80041025, "WBEM_E_CLASS_HAS_CHILDREN"},
    {0x80041026, "WBEM_E_CLASS_HAS_INSTANCES"},
    {0x80041027, "WBEM_E_QUERY_NOT_IMPLEMENTED"},
    {0x80041028, "WBEM_E_ILLEGAL_NULL"},
    {0x80041029, "WBEM_E_INVALID_QUALIFIER_TYPE"},
    {0x8004102A, "WBEM_E_INVALID_PROPERTY_TYPE"},
    {0x8004102B, "WBEM_E_VALUE_OUT_OF_RANGE"},
    {0x8004102C, "WBEM_E_CANNOT_BE_SINGLETON"},
    {0x80041032, "WBEM_E_CALL_CANCELLED"},
    {0x80041033, "WBEM_E_SHUTTING_DOWN"},
    {0x80041064, "WBEM_E_LOCAL_CREDENTIALS"},
    {0x8007000E, "E_OUTOFMEMORY"},
    {0x80070057, "E_INVALIDARG"},
    {0x800706BA, "RPC_S_SERVER_UNAVAILABLE"},
    {0x800706BE, "RPC_S_CALL_FAILED"},
    {0x80080005, "CO_E_SERVER_EXEC_FAILURE"},
};

}  // namespace

bool CError::IsSystemError(ErrorCode code) { return (code | 0xFFFF0000u) == code; }

ErrorCode CError::MapSystemError(DWORD dwError) { return static_cast<ErrorCode>(dwError | 0xFFFF0000u); }

const char* CError::MapErrorString(ErrorCode code) {
  if (IsSystemError(code)) {
    snprintf(szBuffer, sizeof(szBuffer), c_pszErrors[kSystemErrorRow], static_cast<unsigned long>(code & 0xFFFFu));
    return szBuffer;
  }
  // Codes past the table are not the program's own; they read as undefined.
  if (code >= sizeof(c_pszErrors) / sizeof(c_pszErrors[0])) return c_pszErrors[kUndefinedRow];
  return c_pszErrors[code];
}

bool CError::IsDisconnection(HRESULT hr) {
  switch (static_cast<DWORD>(hr)) {
    case 0x80010007:  // RPC_E_SERVER_DIED
    case 0x80010012:  // RPC_E_SERVER_DIED_DNE
    case 0x80010108:  // RPC_E_DISCONNECTED
    case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BE:  // RPC_S_CALL_FAILED
      return true;
    default:
      return false;
  }
}

bool CError::IsConnectionLoss(HRESULT hr) {
  return IsDisconnection(hr) || hr == static_cast<HRESULT>(WBEM_E_SHUTTING_DOWN);
}

const char* CError::ErrorString(HRESULT hr) {
  for (const tHResultName& row : c_HResultNames)
    if (row.dwValue == static_cast<DWORD>(hr)) return row.pszName;
  return "UNKNOWN";
}
