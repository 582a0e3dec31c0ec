// PROVISIONAL
#pragma once
#include "common/Platform.h"
class CBSTR {
 public:
  explicit CBSTR(const OLECHAR* pwsz) : m_bstr(pwsz ? SysAllocString(pwsz) : nullptr) {}
  ~CBSTR() { if (m_bstr) SysFreeString(m_bstr); }
  CBSTR(const CBSTR&) = delete;
  CBSTR& operator=(const CBSTR&) = delete;
  operator BSTR() const { return m_bstr; }
 private:
  BSTR m_bstr;
};
