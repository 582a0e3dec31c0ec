#include "common/ComTypes.h"

CBSTR& CBSTR::operator=(CBSTR&& other) noexcept {
  if (this != &other) {
    Free();
    m_bstr = other.Detach();
  }
  return *this;
}

BSTR* CBSTR::Put() {
  Free();
  return &m_bstr;
}

BSTR CBSTR::Detach() {
  BSTR bstr = m_bstr;
  m_bstr = nullptr;
  return bstr;
}

void CBSTR::Free() {
  if (m_bstr) SysFreeString(Detach());
}

CVARIANT::CVARIANT(CVARIANT&& other) noexcept : m_var(other.m_var) { VariantInit(&other.m_var); }

CVARIANT& CVARIANT::operator=(CVARIANT&& other) noexcept {
  if (this != &other) {
    VariantClear(&m_var);
    m_var = other.m_var;
    VariantInit(&other.m_var);
  }
  return *this;
}

VARIANT* CVARIANT::Put() {
  VariantClear(&m_var);
  VariantInit(&m_var);
  return &m_var;
}

HRESULT CVARIANT::GetBSTR(BSTR* pbstr) const {
  if (!pbstr) return E_POINTER;
  if (m_var.vt != VT_BSTR) return DISP_E_TYPEMISMATCH;
  *pbstr = m_var.bstrVal;
  return S_OK;
}

HRESULT CVARIANT::GetI4(LONG* pl) const {
  if (!pl) return E_POINTER;
  if (m_var.vt != VT_I4) return DISP_E_TYPEMISMATCH;
  *pl = m_var.lVal;
  return S_OK;
}

HRESULT CVARIANT::GetInt32(LONG* pl) const {
  if (!pl) return E_POINTER;
  switch (m_var.vt) {
    case VT_I4: *pl = m_var.lVal; return S_OK;
    case VT_UI4: *pl = static_cast<LONG>(m_var.ulVal); return S_OK;
    case VT_INT: *pl = static_cast<LONG>(m_var.intVal); return S_OK;
    case VT_UINT: *pl = static_cast<LONG>(m_var.uintVal); return S_OK;
    case VT_I2: *pl = m_var.iVal; return S_OK;
    case VT_UI2: *pl = m_var.uiVal; return S_OK;
    case VT_I1: *pl = m_var.cVal; return S_OK;
    case VT_UI1: *pl = m_var.bVal; return S_OK;
    default: return DISP_E_TYPEMISMATCH;
  }
}

HRESULT CVARIANT::GetUnknown(IUnknown** ppunk) const {
  if (!ppunk) return E_POINTER;
  if (m_var.vt != VT_UNKNOWN || !m_var.punkVal) return DISP_E_TYPEMISMATCH;
  *ppunk = m_var.punkVal;
  return S_OK;
}

HRESULT CVARIANT::GetByteArray(SAFEARRAY** ppsa) const {
  if (!ppsa) return E_POINTER;
  if ((m_var.vt != (VT_ARRAY | VT_UI1) && m_var.vt != (VT_ARRAY | VT_I1)) || !m_var.parray) return DISP_E_TYPEMISMATCH;
  *ppsa = m_var.parray;
  return S_OK;
}

void CVARIANT::SetI4(LONG l) {
  Put();
  m_var.vt = VT_I4;
  m_var.lVal = l;
}

HRESULT CVARIANT::SetBSTR(const wchar_t* pwsz) {
  Put();
  BSTR bstr = SysAllocString(pwsz ? pwsz : L"");
  if (!bstr) return E_OUTOFMEMORY;
  m_var.vt = VT_BSTR;
  m_var.bstrVal = bstr;
  return S_OK;
}
