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

// Names from each part of the table: the first and last rows, success codes, COM and RPC codes,
// the WMI range, and the names of what a lost connection to WMI gives.
TEST(Error, ComAndWmiNames) {
  const struct {
    DWORD value;
    const char* name;
  } rows[] = {
      {0x00000000, "WBEM_NO_ERROR"},
      {0x00000001, "WBEM_S_FALSE"},
      {0x00040005, "WBEM_S_NO_MORE_DATA"},
      {0x80004002, "E_NOINTERFACE"},
      {0x80010106, "RPC_E_CHANGED_MODE"},
      {0x80040154, "REGDB_E_CLASSNOTREG"},
      {0x80041001, "WBEM_E_FAILED"},
      {0x80041010, "WBEM_E_INVALID_CLASS"},
      {0x8004102C, "WBEM_E_CANNOT_BE_SINGLETON"},
      {0x80041032, "WBEM_E_CALL_CANCELLED"},
      {0x80041064, "WBEM_E_LOCAL_CREDENTIALS"},
      {0x80070057, "E_INVALIDARG"},
      {0x80041033, "WBEM_E_SHUTTING_DOWN"},
      {0x80010108, "RPC_E_DISCONNECTED"},
      {0x800706BA, "RPC_S_SERVER_UNAVAILABLE"},
      {0x80010007, "RPC_E_SERVER_DIED"},
      {0x80080005, "CO_E_SERVER_EXEC_FAILURE"},
  };
  for (const auto& r : rows) EXPECT_STREQ(r.name, CError::ErrorString(static_cast<HRESULT>(r.value))) << std::hex << r.value;
}

TEST(Error, DisconnectionsAreTheCodesOfAServerThatIsGone) {
  for (DWORD v : {0x80010007u, 0x80010012u, 0x80010108u, 0x800706BAu, 0x800706BEu})
    EXPECT_TRUE(CError::IsDisconnection(static_cast<HRESULT>(v))) << std::hex << v;
  for (DWORD v : {0x00000000u, 0x80041001u, 0x80041033u, 0x80041032u, 0x80080005u, 0x800706BBu})
    EXPECT_FALSE(CError::IsDisconnection(static_cast<HRESULT>(v))) << std::hex << v;
}

TEST(Error, ValuesBetweenTheRowsAreUnknown) {
  for (DWORD v : {0x00000002u, 0x00040000u, 0x00040004u, 0x00040006u, 0x8004102Du, 0x8004102Eu, 0x8004102Fu,
                  0x80041030u, 0x80041031u, 0x80041034u, 0x80041063u, 0x80041065u, 0x80004001u, 0x80004005u,
                  0xFFFFFFFFu, 0x0000000Eu, 0x80041000u})
    EXPECT_STREQ("UNKNOWN", CError::ErrorString(static_cast<HRESULT>(v))) << std::hex << v;
}

}  // namespace
