// Owners of COM resources: CBSTR (one BSTR), CVARIANT (one VARIANT) and CComRef (one interface
// reference). Each is non-copyable and movable; Put() frees the old value and hands out the
// address for an out-parameter; Detach() gives up ownership.
#pragma once

#include "common/Platform.h"

class CBSTR {
 public:
  CBSTR() : m_bstr(nullptr) {}
  // A new copy of the text made with SysAllocString; null text, or no memory, gives null.
  explicit CBSTR(const wchar_t* pwsz) : m_bstr(pwsz ? SysAllocString(pwsz) : nullptr) {}
  ~CBSTR() { Free(); }
  CBSTR(CBSTR&& other) noexcept : m_bstr(other.Detach()) {}
  CBSTR& operator=(CBSTR&& other) noexcept;
  CBSTR(const CBSTR&) = delete;
  CBSTR& operator=(const CBSTR&) = delete;

  BSTR Get() const { return m_bstr; }
  BSTR* Put();
  BSTR Detach();
  bool IsNull() const { return m_bstr == nullptr; }

 private:
  void Free();
  BSTR m_bstr;
};

class CVARIANT {
 public:
  CVARIANT() { VariantInit(&m_var); }
  ~CVARIANT() { VariantClear(&m_var); }
  CVARIANT(CVARIANT&& other) noexcept;
  CVARIANT& operator=(CVARIANT&& other) noexcept;
  CVARIANT(const CVARIANT&) = delete;
  CVARIANT& operator=(const CVARIANT&) = delete;

  // Clears the value, then gives its address for an out-parameter.
  VARIANT* Put();
  // The value itself, for calls that read it (IWbemClassObject::Put takes VARIANT*).
  VARIANT* Ptr() { return &m_var; }
  const VARIANT* Get() const { return &m_var; }
  VARTYPE Type() const { return m_var.vt; }
  HRESULT Clear() { return VariantClear(&m_var); }

  // Checked reads: S_OK and the value only when the variant holds exactly that type,
  // DISP_E_TYPEMISMATCH otherwise (the out-value is then left as it was). Borrowed results
  // belong to the variant.
  HRESULT GetBSTR(BSTR* pbstr) const;               // VT_BSTR
  HRESULT GetI4(LONG* pl) const;                    // VT_I4
  // Any integer of 32 bits or fewer (VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT,
  // VT_UINT), widened with its sign; an unsigned 32-bit value is taken bit for bit.
  HRESULT GetInt32(LONG* pl) const;
  HRESULT GetUnknown(IUnknown** ppunk) const;       // VT_UNKNOWN, not null
  HRESULT GetByteArray(SAFEARRAY** ppsa) const;     // VT_ARRAY | VT_UI1 or VT_I1, not null

  // Replace the value.
  void SetI4(LONG l);
  HRESULT SetBSTR(const wchar_t* pwsz);  // E_OUTOFMEMORY leaves the variant empty

 private:
  VARIANT m_var;
};

// One owned reference to a COM interface.
template <class T>
class CComRef {
 public:
  CComRef() : m_p(nullptr) {}
  // Takes over a reference the caller owns; no AddRef.
  explicit CComRef(T* p) : m_p(p) {}
  ~CComRef() { Reset(); }
  CComRef(CComRef&& other) noexcept : m_p(other.Detach()) {}
  CComRef& operator=(CComRef&& other) noexcept {
    if (this != &other) {
      Reset();
      m_p = other.Detach();
    }
    return *this;
  }
  CComRef(const CComRef&) = delete;
  CComRef& operator=(const CComRef&) = delete;

  // A new owner of one more reference to p (AddRef).
  static CComRef Share(T* p) {
    if (p) p->AddRef();
    return CComRef(p);
  }

  T* Get() const { return m_p; }
  T* operator->() const { return m_p; }
  explicit operator bool() const { return m_p != nullptr; }
  T** Put() {
    Reset();
    return &m_p;
  }
  // The out-parameter form that CoCreateInstance and QueryInterface take.
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  T* Detach() {
    T* p = m_p;
    m_p = nullptr;
    return p;
  }
  // Releases the reference, the field cleared before the release runs.
  void Reset() {
    if (T* p = Detach()) p->Release();
  }

 private:
  T* m_p;
};
