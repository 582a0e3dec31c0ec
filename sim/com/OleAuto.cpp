// BSTR, VARIANT and SAFEARRAY of the simulated host, with live-allocation counts.
//
// Every BSTR and SAFEARRAY handed out is remembered until it is freed, so that freeing a foreign
// pointer or freeing twice stops the test run at once (on Windows it corrupts the heap).
#include <simwin/wbemidl.h>

#include "internal/Com.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

namespace {

struct Allocations {
  std::mutex lock;
  std::unordered_set<const void*> bstrs;
  std::unordered_set<const void*> arrays;
};

Allocations& Live() {
  static Allocations* s_pLive = new Allocations;
  return *s_pLive;
}

[[noreturn]] void Misuse(const char* what, const void* p) {
  std::fprintf(stderr, "ksim: %s of %p, which is not a live allocation\n", what, p);
  std::abort();
}

void Remember(std::unordered_set<const void*> Allocations::*set, const char* kind, const void* p) {
  Allocations& a = Live();
  std::lock_guard<std::mutex> guard(a.lock);
  (a.*set).insert(p);
  ksim::detail::AddLive(kind, 1);
}

void Forget(std::unordered_set<const void*> Allocations::*set, const char* kind, const void* p, const char* what) {
  Allocations& a = Live();
  std::lock_guard<std::mutex> guard(a.lock);
  if ((a.*set).erase(p) == 0) Misuse(what, p);
  ksim::detail::AddLive(kind, -1);
}

// The allocation behind a BSTR: the byte count stands right before the first character.
const size_t c_cbPrefix = sizeof(OLECHAR) > sizeof(DWORD) ? sizeof(OLECHAR) : sizeof(DWORD);

BSTR AllocBstr(const OLECHAR* pch, UINT cch) {
  auto* pBase = static_cast<unsigned char*>(std::calloc(1, c_cbPrefix + (size_t(cch) + 1) * sizeof(OLECHAR)));
  if (!pBase) return nullptr;
  BSTR bstr = reinterpret_cast<BSTR>(pBase + c_cbPrefix);
  DWORD cb = static_cast<DWORD>(cch * sizeof(OLECHAR));
  std::memcpy(pBase + c_cbPrefix - sizeof(DWORD), &cb, sizeof(DWORD));
  if (pch) std::memcpy(bstr, pch, cch * sizeof(OLECHAR));
  bstr[cch] = 0;
  Remember(&Allocations::bstrs, "bstrs", bstr);
  return bstr;
}

// SAFEARRAY: the element type is kept in a hidden header in front of the descriptor, as
// FADF_HAVEVARTYPE arrays carry it on Windows.
struct ArrayBlock {
  VARTYPE vt;
  SAFEARRAY sa;  // followed by cDims - 1 more bounds
};

ArrayBlock* BlockOf(SAFEARRAY* psa) {
  return reinterpret_cast<ArrayBlock*>(reinterpret_cast<unsigned char*>(psa) - offsetof(ArrayBlock, sa));
}

ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY: return 8;
    case VT_BSTR: case VT_UNKNOWN: case VT_DISPATCH: return sizeof(void*);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
  }
}

ULONG TotalElements(const SAFEARRAY* psa) {
  ULONG n = 1;
  for (USHORT i = 0; i < psa->cDims; ++i) n *= psa->rgsabound[i].cElements;
  return psa->cDims ? n : 0;
}

// The flat position of an element; rgIndices[0] is the first dimension's index.
bool Position(SAFEARRAY* psa, const LONG* rgIndices, ULONG* pulPos) {
  ULONG ulPos = 0;
  for (USHORT i = 0; i < psa->cDims; ++i) {
    const SAFEARRAYBOUND& b = psa->rgsabound[i];
    LONG lOffset = rgIndices[i] - b.lLbound;
    if (lOffset < 0 || static_cast<ULONG>(lOffset) >= b.cElements) return false;
    ulPos = ulPos * b.cElements + static_cast<ULONG>(lOffset);
  }
  *pulPos = ulPos;
  return true;
}

HRESULT CopyElementOut(VARTYPE vt, const void* pSrc, void* pDst, ULONG cb) {
  switch (vt) {
    case VT_BSTR: {
      BSTR src = *static_cast<const BSTR*>(pSrc);
      BSTR copy = src ? SysAllocStringLen(src, SysStringLen(src)) : nullptr;
      if (src && !copy) return E_OUTOFMEMORY;
      *static_cast<BSTR*>(pDst) = copy;
      return S_OK;
    }
    case VT_UNKNOWN: case VT_DISPATCH: {
      IUnknown* p = *static_cast<IUnknown* const*>(pSrc);
      if (p) p->AddRef();
      *static_cast<IUnknown**>(pDst) = p;
      return S_OK;
    }
    case VT_VARIANT:
      VariantInit(static_cast<VARIANT*>(pDst));
      return VariantCopy(static_cast<VARIANT*>(pDst), static_cast<const VARIANT*>(pSrc));
    default:
      std::memcpy(pDst, pSrc, cb);
      return S_OK;
  }
}

void ClearElement(VARTYPE vt, void* p) {
  switch (vt) {
    case VT_BSTR: SysFreeString(*static_cast<BSTR*>(p)); *static_cast<BSTR*>(p) = nullptr; break;
    case VT_UNKNOWN: case VT_DISPATCH:
      if (*static_cast<IUnknown**>(p)) (*static_cast<IUnknown**>(p))->Release();
      *static_cast<IUnknown**>(p) = nullptr;
      break;
    case VT_VARIANT: VariantClear(static_cast<VARIANT*>(p)); break;
    default: break;
  }
}

// Whether a VARIANT may carry the type: the automation types up to VT_UINT (15 is unassigned)
// and VT_RECORD, by value, or by reference or as an array when they hold data; never a vector.
bool ValidVariantType(VARTYPE vt) {
  const VARTYPE base = vt & VT_TYPEMASK;
  const VARTYPE flags = vt & ~VT_TYPEMASK;
  if (flags & (VT_VECTOR | VT_RESERVED)) return false;
  if (base == 15 || (base > VT_UINT && base != VT_RECORD)) return false;
  return !((flags & (VT_ARRAY | VT_BYREF)) && base <= VT_NULL);
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz) {
  if (auto f = ksim::detail::Enter("SysAllocString", ksim::detail::Selector(psz))) return nullptr;
  if (!psz) return nullptr;
  return AllocBstr(psz, static_cast<UINT>(std::wcslen(psz)));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (auto f = ksim::detail::Enter("SysAllocStringLen", strIn ? ksim::detail::Selector(std::wstring(strIn, ui).c_str()) : std::string()))
    return nullptr;
  return AllocBstr(strIn, ui);
}

void SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  Forget(&Allocations::bstrs, "bstrs", bstrString, "SysFreeString");
  std::free(reinterpret_cast<unsigned char*>(bstrString) - c_cbPrefix);
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  DWORD cb;
  std::memcpy(&cb, reinterpret_cast<unsigned char*>(bstr) - sizeof(DWORD), sizeof(DWORD));
  return cb;
}

UINT SysStringLen(BSTR bstr) { return SysStringByteLen(bstr) / sizeof(OLECHAR); }

void VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  std::memset(pvarg, 0, sizeof(*pvarg));
  pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  if (auto f = ksim::detail::Enter("VariantClear")) return static_cast<HRESULT>(f->result);
  if (!ValidVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (pvarg->vt & VT_BYREF) {
    pvarg->vt = VT_EMPTY;
    return S_OK;
  }
  HRESULT hr = S_OK;
  if (pvarg->vt & VT_ARRAY) {
    hr = SafeArrayDestroy(pvarg->parray);
  } else {
    switch (pvarg->vt) {
      case VT_BSTR: SysFreeString(pvarg->bstrVal); break;
      case VT_UNKNOWN: case VT_DISPATCH:
        if (pvarg->punkVal) pvarg->punkVal->Release();
        break;
      default: break;
    }
  }
  if (SUCCEEDED(hr)) {
    pvarg->vt = VT_EMPTY;
    pvarg->llVal = 0;
  }
  return hr;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (auto f = ksim::detail::Enter("VariantCopy")) return static_cast<HRESULT>(f->result);
  if (!ValidVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  VARIANT copy = *pvargSrc;
  if (!(pvargSrc->vt & VT_BYREF)) {
    if (pvargSrc->vt & VT_ARRAY) {
      if (pvargSrc->parray) {
        hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
        if (FAILED(hr)) return hr;
      }
    } else if (pvargSrc->vt == VT_BSTR) {
      if (pvargSrc->bstrVal) {
        copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
      }
    } else if (pvargSrc->vt == VT_UNKNOWN || pvargSrc->vt == VT_DISPATCH) {
      if (pvargSrc->punkVal) pvargSrc->punkVal->AddRef();
    }
  }
  *pvargDest = copy;
  return S_OK;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
  if (auto f = ksim::detail::Enter("SafeArrayCreate")) return nullptr;
  ULONG cb = ElementSize(vt);
  if (!cb || cDims == 0 || !rgsabound) return nullptr;
  size_t cbBlock = sizeof(ArrayBlock) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
  auto* pBlock = static_cast<ArrayBlock*>(std::calloc(1, cbBlock));
  if (!pBlock) return nullptr;
  pBlock->vt = vt;
  SAFEARRAY* psa = &pBlock->sa;
  psa->cDims = static_cast<USHORT>(cDims);
  psa->cbElements = cb;
  psa->fFeatures = FADF_HAVEVARTYPE | (vt == VT_BSTR ? FADF_BSTR : 0) | (vt == VT_UNKNOWN ? FADF_UNKNOWN : 0) |
                   (vt == VT_VARIANT ? FADF_VARIANT : 0);
  for (UINT i = 0; i < cDims; ++i) psa->rgsabound[i] = rgsabound[i];
  ULONG n = TotalElements(psa);
  psa->pvData = std::calloc(n ? n : 1, cb);
  if (!psa->pvData) {
    std::free(pBlock);
    return nullptr;
  }
  Remember(&Allocations::arrays, "safearrays", psa);
  return psa;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
  if (!psa) return S_OK;
  {
    Allocations& a = Live();
    std::lock_guard<std::mutex> guard(a.lock);
    if (!a.arrays.count(psa)) Misuse("SafeArrayDestroy", psa);
  }
  if (psa->cLocks) return DISP_E_ARRAYISLOCKED;
  VARTYPE vt = BlockOf(psa)->vt;
  ULONG n = TotalElements(psa);
  for (ULONG i = 0; i < n; ++i) ClearElement(vt, static_cast<unsigned char*>(psa->pvData) + size_t(i) * psa->cbElements);
  Forget(&Allocations::arrays, "safearrays", psa, "SafeArrayDestroy");
  std::free(psa->pvData);
  std::free(BlockOf(psa));
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
  if (!ppsaOut) return E_INVALIDARG;
  *ppsaOut = nullptr;
  if (!psa) return S_OK;
  VARTYPE vt = BlockOf(psa)->vt;
  SAFEARRAY* pCopy = SafeArrayCreate(vt, psa->cDims, psa->rgsabound);
  if (!pCopy) return E_OUTOFMEMORY;
  ULONG n = TotalElements(psa);
  for (ULONG i = 0; i < n; ++i) {
    size_t off = size_t(i) * psa->cbElements;
    HRESULT hr = CopyElementOut(vt, static_cast<unsigned char*>(psa->pvData) + off,
                                static_cast<unsigned char*>(pCopy->pvData) + off, psa->cbElements);
    if (FAILED(hr)) {
      SafeArrayDestroy(pCopy);
      return hr;
    }
  }
  *ppsaOut = pCopy;
  return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa) { return psa ? psa->cDims : 0; }
UINT SafeArrayGetElemsize(SAFEARRAY* psa) { return psa ? psa->cbElements : 0; }

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
  if (!psa || !plUbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  const SAFEARRAYBOUND& b = psa->rgsabound[nDim - 1];
  *plUbound = b.lLbound + static_cast<LONG>(b.cElements) - 1;
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
  if (!psa || !plLbound) return E_INVALIDARG;
  if (nDim == 0 || nDim > psa->cDims) return DISP_E_BADINDEX;
  *plLbound = psa->rgsabound[nDim - 1].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
  if (!psa || !pvt) return E_INVALIDARG;
  *pvt = BlockOf(psa)->vt;
  return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (!psa || !rgIndices || !pv) return E_INVALIDARG;
  if (auto f = ksim::detail::Enter("SafeArrayGetElement", std::to_string(rgIndices[0])))
    return static_cast<HRESULT>(f->result);
  ULONG ulPos;
  if (!Position(psa, rgIndices, &ulPos)) return DISP_E_BADINDEX;
  return CopyElementOut(BlockOf(psa)->vt, static_cast<unsigned char*>(psa->pvData) + size_t(ulPos) * psa->cbElements,
                        pv, psa->cbElements);
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
  if (!psa || !rgIndices || !pv) return E_INVALIDARG;
  ULONG ulPos;
  if (!Position(psa, rgIndices, &ulPos)) return DISP_E_BADINDEX;
  VARTYPE vt = BlockOf(psa)->vt;
  void* pSlot = static_cast<unsigned char*>(psa->pvData) + size_t(ulPos) * psa->cbElements;
  // Object and string elements take a copy of what they are given.
  const void* pSrc = (vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH) ? static_cast<const void*>(&pv) : pv;
  unsigned char tmp[sizeof(VARIANT)];
  HRESULT hr = CopyElementOut(vt, pSrc, tmp, psa->cbElements);
  if (FAILED(hr)) return hr;
  ClearElement(vt, pSlot);
  std::memcpy(pSlot, tmp, psa->cbElements);
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
  if (!psa || !ppvData) return E_INVALIDARG;
  if (auto f = ksim::detail::Enter("SafeArrayAccessData")) return static_cast<HRESULT>(f->result);
  ++psa->cLocks;
  *ppvData = psa->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
  if (!psa) return E_INVALIDARG;
  if (auto f = ksim::detail::Enter("SafeArrayUnaccessData")) return static_cast<HRESULT>(f->result);
  if (psa->cLocks == 0) return E_UNEXPECTED;
  --psa->cLocks;
  return S_OK;
}
