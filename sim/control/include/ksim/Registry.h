// The simulated registry, as tests and tools read and prepare it. Key paths begin with their
// root ("HKLM\\SYSTEM\\..." or "HKEY_LOCAL_MACHINE\\SYSTEM\\..."); names compare without
// regard to case.
#pragma once

#include <simwin/windows.h>

#include <optional>
#include <string>
#include <vector>

namespace ksim {

struct RegistryValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;

  // The text of a string value, up to its first zero byte.
  std::string AsString() const;
  // The value of a four-byte REG_DWORD; 0 for anything else.
  DWORD AsDword() const;
  // The texts of a REG_MULTI_SZ, in order.
  std::vector<std::string> AsMultiString() const;

  static RegistryValue String(const std::string& text, DWORD type = REG_SZ);
  static RegistryValue Dword(DWORD value);
};

bool RegistryKeyExists(const std::string& keyPath);
std::optional<RegistryValue> RegistryRead(const std::string& keyPath, const std::string& valueName);
// The names of a key's values and subkeys, in name order; empty for a missing key.
std::vector<std::string> RegistryValueNames(const std::string& keyPath);
std::vector<std::string> RegistrySubkeys(const std::string& keyPath);

// Creates the key (and its parents) if needed and sets the value.
void RegistryWrite(const std::string& keyPath, const std::string& valueName, const RegistryValue& value);
// Removes a key with everything below it; handles open to it see ERROR_KEY_DELETED.
void RegistryDeleteTree(const std::string& keyPath);
// An empty registry.
void ResetRegistry();

}  // namespace ksim
