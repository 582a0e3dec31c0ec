#include "diagnostics/Error.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Error, TextOfEveryOwnCode) {
  const char* texts[] = {"No error",
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
                         "Error code undefined"};
  for (DWORD code = 0; code < sizeof(texts) / sizeof(texts[0]); ++code)
    EXPECT_STREQ(texts[code], CError::MapErrorString(static_cast<ErrorCode>(code))) << code;
}

TEST(Error, CodesPastTheTableAreUndefined) {
  for (DWORD code : {18u, 19u, 255u, 0x10000u, 0x7FFFFFFFu, 0xFFFE0001u, 0xFFFEFFFFu})
    EXPECT_STREQ("Error code undefined", CError::MapErrorString(static_cast<ErrorCode>(code))) << code;
}

TEST(Error, SystemErrorCodes) {
  const struct {
    DWORD windowsError;
    DWORD code;
    const char* text;
  } cases[] = {
      {5, 0xFFFF0005, "System Error (5)"},
      {0, 0xFFFF0000, "System Error (0)"},
      {0x80070005, 0xFFFF0005, "System Error (5)"},
      {1063, 0xFFFF0427, "System Error (1063)"},
      {0xFFFF, 0xFFFFFFFF, "System Error (65535)"},
  };
  for (const auto& c : cases) {
    ErrorCode code = CError::MapSystemError(c.windowsError);
    EXPECT_EQ(c.code, static_cast<DWORD>(code));
    EXPECT_TRUE(CError::IsSystemError(code));
    EXPECT_NE(ecNoError, code);
    EXPECT_STREQ(c.text, CError::MapErrorString(code));
  }
}

TEST(Error, OwnCodesAreNotSystemErrors) {
  for (DWORD code = 0; code <= 15; ++code) EXPECT_FALSE(CError::IsSystemError(static_cast<ErrorCode>(code)));
  EXPECT_FALSE(CError::IsSystemError(static_cast<ErrorCode>(0xFFFE0001u)));
  EXPECT_FALSE(CError::IsSystemError(static_cast<ErrorCode>(0x7FFF0001u)));
}

TEST(Error, EveryComAndWmiName) {
  const struct {
    DWORD value;
    const char* name;
  } rows[] = {
      {0x00000000, "WBEM_NO_ERROR"},
      {0x00000001, "WBEM_S_FALSE"},
      {0x00040001, "WBEM_S_ALREADY_EXISTS"},
      {0x00040002, "WBEM_S_RESET_TO_DEFAULT"},
      {0x00040003, "WBEM_S_DIFFERENT"},
      {0x00040005, "WBEM_S_NO_MORE_DATA"},
      {0x80004002, "E_NOINTERFACE"},
      {0x8000FFFF, "E_UNEXPECTED"},
      {0x80010106, "RPC_E_CHANGED_MODE"},
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
      {0x80041064, "WBEM_E_LOCAL_CREDENTIALS"},
      {0x8007000E, "E_OUTOFMEMORY"},
      {0x80070057, "E_INVALIDARG"},
  };
  EXPECT_EQ(61u, sizeof(rows) / sizeof(rows[0]));
  for (const auto& r : rows) EXPECT_STREQ(r.name, CError::ErrorString(static_cast<HRESULT>(r.value))) << std::hex << r.value;
}

TEST(Error, ValuesBetweenTheRowsAreUnknown) {
  for (DWORD v : {0x00000002u, 0x00040000u, 0x00040004u, 0x00040006u, 0x8004102Du, 0x8004102Eu, 0x8004102Fu,
                  0x80041030u, 0x80041031u, 0x80041033u, 0x80041063u, 0x80041065u, 0x80004001u, 0x80004005u,
                  0xFFFFFFFFu, 0x0000000Eu, 0x80041000u})
    EXPECT_STREQ("UNKNOWN", CError::ErrorString(static_cast<HRESULT>(v))) << std::hex << v;
}

}  // namespace
