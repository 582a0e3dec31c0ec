// PROVISIONAL
#pragma once
#include "common/Platform.h"
class CVARIANT {
 public:
  CVARIANT() { VariantInit(&m_v); }
  ~CVARIANT() { VariantClear(&m_v); }
  CVARIANT(const CVARIANT&) = delete;
  CVARIANT& operator=(const CVARIANT&) = delete;
  VARIANT* Put() { VariantClear(&m_v); return &m_v; }
  const VARIANT& Get() const { return m_v; }
 private:
  VARIANT m_v;
};
