// The registry: an in-memory tree under the four predefined roots, with the calls the product
// makes. Registry calls return their Windows error number and leave the last error alone, as
// advapi32 does. Names of keys and values compare without regard to case and keep the case
// they were created with.
#include <ksim/Registry.h>

#include "internal/HostState.h"
#include "internal/ObjectTable.h"
#include "internal/Sim.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct NoCaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
      int ca = std::tolower(static_cast<unsigned char>(a[i]));
      int cb = std::tolower(static_cast<unsigned char>(b[i]));
      if (ca != cb) return ca < cb;
    }
    return a.size() < b.size();
  }
};

struct Value {
  std::string name;
  ksim::RegistryValue value;
};

struct Key {
  std::string name;
  Key* pParent = nullptr;  // null for a root and for a deleted key
  std::map<std::string, std::shared_ptr<Key>, NoCaseLess> subkeys;
  std::map<std::string, Value, NoCaseLess> values;
  bool bDeleted = false;
};

struct OpenKey {
  std::shared_ptr<Key> key;
  REGSAM access;
};

const size_t kRoots = 4;
const HKEY kRootKeys[kRoots] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS};
const char* const kRootNames[kRoots] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                                        "HKEY_USERS"};
const char* const kRootShortNames[kRoots] = {"HKCR", "HKCU", "HKLM", "HKU"};

struct Registry {
  std::mutex lock;
  std::shared_ptr<Key> roots[kRoots];
  ksim::detail::ObjectTable<OpenKey> handles{0x20000000, "reg_keys"};
};

void MarkDeleted(Key* pKey) {
  pKey->bDeleted = true;
  pKey->pParent = nullptr;
  for (auto& entry : pKey->subkeys) MarkDeleted(entry.second.get());
}

void ClearRoots(Registry* pReg) {
  for (size_t i = 0; i < kRoots; ++i) {
    if (pReg->roots[i]) MarkDeleted(pReg->roots[i].get());
    pReg->roots[i] = std::make_shared<Key>();
    pReg->roots[i]->name = kRootNames[i];
  }
}

void LoadState(Registry* pReg);

Registry& Reg() {
  static Registry* s_pReg = [] {
    auto* p = new Registry;
    ClearRoots(p);
    LoadState(p);
    return p;
  }();
  return *s_pReg;
}

REGSAM MapKeyAccess(REGSAM sam) {
  REGSAM mapped = sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (sam & (GENERIC_READ | GENERIC_EXECUTE)) mapped |= KEY_READ;
  if (sam & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

// Splits a subkey path into its names. A leading or doubled separator is invalid; one
// trailing separator is ignored.
bool SplitPath(const std::string& path, std::vector<std::string>* pNames) {
  pNames->clear();
  if (path.empty()) return true;
  if (path[0] == '\\') return false;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end == start) return false;
    pNames->push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

int RootIndex(HKEY hKey) {
  for (size_t i = 0; i < kRoots; ++i)
    if (hKey == kRootKeys[i]) return static_cast<int>(i);
  return -1;
}

// The key and access rights behind a handle.
LONG Resolve(HKEY hKey, std::shared_ptr<Key>* pKey, REGSAM* pAccess) {
  Registry& reg = Reg();
  int root = RootIndex(hKey);
  if (root >= 0) {
    std::lock_guard<std::mutex> guard(reg.lock);
    *pKey = reg.roots[root];
    *pAccess = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  auto open = reg.handles.Lookup(reinterpret_cast<uintptr_t>(hKey));
  if (!open) return ERROR_INVALID_HANDLE;
  *pKey = open->key;
  *pAccess = open->access;
  return ERROR_SUCCESS;
}

// The key of a handle, its access, and the names of a subkey path below it.
LONG ResolvePath(HKEY hKey, const std::string& subkey, std::shared_ptr<Key>* pKey, REGSAM* pAccess,
                 std::vector<std::string>* pNames) {
  if (LONG lRet = Resolve(hKey, pKey, pAccess)) return lRet;
  return SplitPath(subkey, pNames) ? ERROR_SUCCESS : ERROR_BAD_PATHNAME;
}

// Walks (and with bCreate makes) the names below a key. Call with the registry lock held.
std::shared_ptr<Key> Walk(std::shared_ptr<Key> key, const std::vector<std::string>& names, bool bCreate,
                          bool* pbCreated) {
  for (const std::string& name : names) {
    auto it = key->subkeys.find(name);
    if (it == key->subkeys.end()) {
      if (!bCreate) return nullptr;
      auto child = std::make_shared<Key>();
      child->name = name;
      child->pParent = key.get();
      it = key->subkeys.emplace(name, child).first;
      if (pbCreated) *pbCreated = true;
    }
    key = it->second;
  }
  return key;
}

// Detaches a key from its parent; handles open to it or below it see ERROR_KEY_DELETED.
void DeleteKey(const std::shared_ptr<Key>& key) {
  if (key->pParent) key->pParent->subkeys.erase(key->name);
  MarkDeleted(key.get());
}

LONG FaultError(const ksim::Fault& f) {
  if (f.result) return static_cast<LONG>(f.result);
  return f.lastError ? static_cast<LONG>(f.lastError) : ERROR_ACCESS_DENIED;
}

HKEY NewHandle(std::shared_ptr<Key> key, REGSAM access) {
  auto open = std::make_shared<OpenKey>();
  open->key = std::move(key);
  open->access = access;
  return reinterpret_cast<HKEY>(Reg().handles.Insert(open));
}

// A control-API path: its root key and the names below it.
bool ParseControlPath(const std::string& path, std::shared_ptr<Key>* pRoot, std::vector<std::string>* pNames) {
  size_t sep = path.find('\\');
  std::string rootName = path.substr(0, sep);
  for (size_t i = 0; i < kRoots; ++i) {
    if (ksim::detail::EqualsNoCase(rootName, kRootNames[i]) ||
        ksim::detail::EqualsNoCase(rootName, kRootShortNames[i])) {
      *pRoot = Reg().roots[i];
      return SplitPath(sep == std::string::npos ? "" : path.substr(sep + 1), pNames);
    }
  }
  return false;
}

// The key at a control-API path. Call with the registry lock held.
std::shared_ptr<Key> FindControlKey(const std::string& path, bool bCreate) {
  std::shared_ptr<Key> root;
  std::vector<std::string> names;
  if (!ParseControlPath(path, &root, &names)) return nullptr;
  return Walk(root, names, bCreate, nullptr);
}

void CollectState(const std::string& root, const std::string& path, const Key& key,
                  std::vector<ksim::detail::StateLine>* pLines) {
  pLines->push_back({"key", root, path});
  for (const auto& entry : key.values) {
    const ksim::RegistryValue& v = entry.second.value;
    pLines->push_back({"value", root, path, entry.second.name, std::to_string(v.type),
                       std::string(v.data.begin(), v.data.end())});
  }
  for (const auto& entry : key.subkeys)
    CollectState(root, path.empty() ? entry.second->name : path + "\\" + entry.second->name, *entry.second,
                 pLines);
}

std::shared_ptr<Key> StateKey(Registry* pReg, const ksim::detail::StateLine& line) {
  std::vector<std::string> names;
  if (line.size() < 3 || !SplitPath(line[2], &names)) return nullptr;
  for (size_t i = 0; i < kRoots; ++i)
    if (line[1] == kRootShortNames[i]) return Walk(pReg->roots[i], names, true, nullptr);
  return nullptr;
}

void LoadState(Registry* pReg) {
  for (const auto& line : ksim::detail::ReadStateLines("key")) StateKey(pReg, line);
  for (const auto& line : ksim::detail::ReadStateLines("value")) {
    std::shared_ptr<Key> key = StateKey(pReg, line);
    if (!key || line.size() < 6) continue;
    Value& v = key->values[line[3]];
    v.name = line[3];
    v.value.type = static_cast<DWORD>(std::strtoul(line[4].c_str(), nullptr, 10));
    v.value.data.assign(line[5].begin(), line[5].end());
  }
}

}  // namespace

namespace ksim::detail {

std::vector<StateLine> RegistryStateLines() {
  Registry& reg = Reg();
  std::vector<StateLine> lines;
  std::lock_guard<std::mutex> guard(reg.lock);
  for (size_t i = 0; i < kRoots; ++i) CollectState(kRootShortNames[i], "", *reg.roots[i], &lines);
  return lines;
}

void ReloadRegistryState() {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  ClearRoots(&reg);
  LoadState(&reg);
}

}  // namespace ksim::detail

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  const std::string subkey = lpSubKey ? lpSubKey : "";
  if (auto f = ksim::detail::Enter("RegCreateKeyA", subkey)) return FaultError(*f);
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Key> parent;
  REGSAM access = 0;
  std::vector<std::string> names;
  if (LONG lRet = ResolvePath(hKey, subkey, &parent, &access, &names)) return lRet;
  // An empty subkey gives back the very handle passed in.
  if (names.empty()) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  if (!(access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;

  Registry& reg = Reg();
  bool bCreated = false;
  std::shared_ptr<Key> key;
  {
    std::lock_guard<std::mutex> guard(reg.lock);
    if (parent->bDeleted) return ERROR_KEY_DELETED;
    key = Walk(parent, names, true, &bCreated);
  }
  *phkResult = NewHandle(key, KEY_ALL_ACCESS);
  if (bCreated) ksim::detail::SaveHostState();
  return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  const std::string subkey = lpSubKey ? lpSubKey : "";
  if (auto f = ksim::detail::Enter("RegOpenKeyExA", subkey)) return FaultError(*f);
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Key> parent;
  REGSAM access = 0;
  std::vector<std::string> names;
  if (LONG lRet = ResolvePath(hKey, subkey, &parent, &access, &names)) return lRet;

  Registry& reg = Reg();
  std::shared_ptr<Key> key;
  {
    std::lock_guard<std::mutex> guard(reg.lock);
    if (parent->bDeleted) return ERROR_KEY_DELETED;
    key = Walk(parent, names, false, nullptr);
  }
  if (!key) return ERROR_FILE_NOT_FOUND;
  *phkResult = NewHandle(key, MapKeyAccess(samDesired));
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  const std::string name = lpValueName ? lpValueName : "";
  if (auto f = ksim::detail::Enter("RegSetValueExA", name)) return FaultError(*f);
  std::shared_ptr<Key> key;
  REGSAM access = 0;
  if (LONG lRet = Resolve(hKey, &key, &access)) return lRet;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (!lpData && cbData) return ERROR_NOACCESS;
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    if (key->bDeleted) return ERROR_KEY_DELETED;
    Value& v = key->values[name];
    v.name = name;
    v.value.type = dwType;
    v.value.data.assign(lpData, lpData + cbData);
  }
  ksim::detail::SaveHostState();
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  const std::string name = lpValueName ? lpValueName : "";
  if (auto f = ksim::detail::Enter("RegQueryValueExA", name)) return FaultError(*f);
  std::shared_ptr<Key> key;
  REGSAM access = 0;
  if (LONG lRet = Resolve(hKey, &key, &access)) return lRet;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;

  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  if (key->bDeleted) return ERROR_KEY_DELETED;
  auto it = key->values.find(name);
  if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
  const ksim::RegistryValue& v = it->second.value;
  if (lpType) *lpType = v.type;
  if (!lpcbData) return ERROR_SUCCESS;
  const DWORD cbValue = static_cast<DWORD>(v.data.size());
  if (lpData && *lpcbData < cbValue) {
    *lpcbData = cbValue;
    return ERROR_MORE_DATA;
  }
  if (lpData && cbValue) std::memcpy(lpData, v.data.data(), cbValue);
  *lpcbData = cbValue;
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  const std::string subkey = lpSubKey ? lpSubKey : "";
  if (auto f = ksim::detail::Enter("RegDeleteKeyA", subkey)) return FaultError(*f);
  std::shared_ptr<Key> parent;
  REGSAM access = 0;
  std::vector<std::string> names;
  if (LONG lRet = ResolvePath(hKey, subkey, &parent, &access, &names)) return lRet;
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    if (parent->bDeleted) return ERROR_KEY_DELETED;
    // An empty subkey names the handle's own key; a root cannot be deleted.
    std::shared_ptr<Key> key = Walk(parent, names, false, nullptr);
    if (!key) return ERROR_FILE_NOT_FOUND;
    if (!key->pParent || !key->subkeys.empty()) return ERROR_ACCESS_DENIED;  // leaves only
    DeleteKey(key);
  }
  ksim::detail::SaveHostState();
  return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  if (auto f = ksim::detail::Enter("RegCloseKey")) return FaultError(*f);
  if (RootIndex(hKey) >= 0) return ERROR_SUCCESS;  // closing a predefined key does nothing
  return Reg().handles.Remove(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

namespace ksim {

std::string RegistryValue::AsString() const {
  const char* p = reinterpret_cast<const char*>(data.data());
  return std::string(p, strnlen(p, data.size()));
}

DWORD RegistryValue::AsDword() const {
  DWORD dw = 0;
  if (type == REG_DWORD && data.size() == sizeof(dw)) std::memcpy(&dw, data.data(), sizeof(dw));
  return dw;
}

std::vector<std::string> RegistryValue::AsMultiString() const {
  std::vector<std::string> texts;
  std::string current;
  for (BYTE b : data) {
    if (b) {
      current += static_cast<char>(b);
    } else if (current.empty()) {
      break;  // the empty text that ends the list
    } else {
      texts.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) texts.push_back(current);
  return texts;
}

RegistryValue RegistryValue::String(const std::string& text, DWORD type) {
  RegistryValue v;
  v.type = type;
  v.data.assign(text.begin(), text.end());
  v.data.push_back(0);
  return v;
}

RegistryValue RegistryValue::Dword(DWORD value) {
  RegistryValue v;
  v.type = REG_DWORD;
  v.data.resize(sizeof(value));
  std::memcpy(v.data.data(), &value, sizeof(value));
  return v;
}

bool RegistryKeyExists(const std::string& keyPath) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  return FindControlKey(keyPath, false) != nullptr;
}

std::optional<RegistryValue> RegistryRead(const std::string& keyPath, const std::string& valueName) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  std::shared_ptr<Key> key = FindControlKey(keyPath, false);
  if (!key) return std::nullopt;
  auto it = key->values.find(valueName);
  if (it == key->values.end()) return std::nullopt;
  return it->second.value;
}

std::vector<std::string> RegistryValueNames(const std::string& keyPath) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  std::vector<std::string> names;
  if (std::shared_ptr<Key> key = FindControlKey(keyPath, false))
    for (const auto& entry : key->values) names.push_back(entry.second.name);
  return names;
}

std::vector<std::string> RegistrySubkeys(const std::string& keyPath) {
  Registry& reg = Reg();
  std::lock_guard<std::mutex> guard(reg.lock);
  std::vector<std::string> names;
  if (std::shared_ptr<Key> key = FindControlKey(keyPath, false))
    for (const auto& entry : key->subkeys) names.push_back(entry.second->name);
  return names;
}

void RegistryWrite(const std::string& keyPath, const std::string& valueName, const RegistryValue& value) {
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    std::shared_ptr<Key> key = FindControlKey(keyPath, true);
    if (!key) return;
    Value& v = key->values[valueName];
    v.name = valueName;
    v.value = value;
  }
  detail::SaveHostState();
}

void RegistryDeleteTree(const std::string& keyPath) {
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    std::shared_ptr<Key> root;
    std::vector<std::string> names;
    if (!ParseControlPath(keyPath, &root, &names) || names.empty()) return;
    std::shared_ptr<Key> key = Walk(root, names, false, nullptr);
    if (!key) return;
    DeleteKey(key);
  }
  detail::SaveHostState();
}

void ResetRegistry() {
  {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> guard(reg.lock);
    ClearRoots(&reg);
  }
  detail::SaveHostState();
}

}  // namespace ksim
