// The supported-driver list: parsing any text, and matching names against it.
//
// Input: the list text, then names to look up, separated by zero bytes. Besides the
// sanitizers, the matching rule itself is checked: every parsed entry matches itself in
// either letter case, no entry is empty or holds a comma, and a name is supported exactly when
// it equals some entry without regard to case.
#include "adapters/AdapterInfo.h"
#include "common/Text.h"

#include <ksim/Faults.h>

#include "FuzzInput.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The current list, in reach of the fuzzer.
class CListProbe : public CAdapterInfo {
 public:
  static const tSupportedDriverArray* List() { return s_pSupportedDriverArray; }
};

void Check(bool bHolds) {
  if (!bHolds) abort();
}

// The ASCII letters of a text in the other case.
std::string SwapAsciiCase(const char* psz) {
  std::string text(psz);
  for (char& ch : text) {
    if (ch >= 'a' && ch <= 'z') {
      ch = static_cast<char>(ch - 'a' + 'A');
    } else if (ch >= 'A' && ch <= 'Z') {
      ch = static_cast<char>(ch - 'A' + 'a');
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ksim::SetCallRecording(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cbData) {
  korvlog_fuzz::CFuzzInput input(pData, cbData);
  const std::string list = input.Until('\0');
  std::vector<std::string> names;
  while (!input.Empty()) names.push_back(input.Until('\0'));

  Check(CAdapterInfo::CreateSupportedDriverInfo(list.c_str()) == ecNoError);
  const tSupportedDriverArray* pList = CListProbe::List();
  Check(pList != nullptr);
  size_t cchEntries = 0;
  for (DWORD i = 0; i < pList->dwCount; ++i) {
    const char* pszEntry = pList->ppszDriver[i];
    Check(*pszEntry && !strchr(pszEntry, ','));
    cchEntries += strlen(pszEntry) + 1;
    Check(CAdapterInfo::IsEvtSrcSupported(pszEntry));
    Check(CAdapterInfo::IsEvtSrcSupported(SwapAsciiCase(pszEntry).c_str()));
  }
  Check(cchEntries <= list.size() + 1);

  for (const std::string& name : names) {
    bool bEqualsAnEntry = false;
    for (DWORD i = 0; i < pList->dwCount; ++i) {
      const bool bEqual = AnsiEqualNoCase(pList->ppszDriver[i], name.c_str());
      Check(bEqual == AnsiEqualNoCase(name.c_str(), pList->ppszDriver[i]));
      bEqualsAnEntry = bEqualsAnEntry || bEqual;
    }
    Check(CAdapterInfo::IsEvtSrcSupported(name.c_str()) == bEqualsAnEntry);
  }

  Check(CAdapterInfo::DeleteSupportedDriverInfo(nullptr) == ecNoError);
  Check(!CAdapterInfo::IsEvtSrcSupported(list.c_str()));
  return 0;
}
