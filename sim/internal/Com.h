// COM object plumbing shared by the simulated COM and WMI: honest reference counts, live-object
// accounting, and the apartment check that every activation and call makes.
#pragma once

#include <simwin/wbemidl.h>

#include "internal/Sim.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ksim::detail {

// A COM object of the simulated host implementing one interface (and IUnknown). Counted in
// LiveCount("com_objects") and LiveCount(kind) while it exists.
template <class Iface>
class ComObject : public Iface {
 public:
  ComObject(const char* kind, const IID& iid) : m_kind(kind), m_iid(iid) {
    AddLive("com_objects", 1);
    AddLive(m_kind, 1);
  }
  virtual ~ComObject() {
    AddLive("com_objects", -1);
    AddLive(m_kind, -1);
  }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, m_iid)) {
      *ppv = static_cast<Iface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_lRef); }
  ULONG STDMETHODCALLTYPE Release() override {
    long lRef = --m_lRef;
    if (lRef < 0) {
      // A release more than the references handed out: on Windows this corrupts the heap.
      std::fprintf(stderr, "ksim: %s released more often than referenced\n", m_kind);
      std::abort();
    }
    if (lRef == 0) delete this;
    return static_cast<ULONG>(lRef);
  }
  long RefCount() const { return m_lRef.load(); }

 private:
  std::atomic<long> m_lRef{1};
  const char* m_kind;
  IID m_iid;
};

// COM is usable on this thread: the thread is in an apartment, or the process's multithreaded
// apartment exists (a thread without CoInitializeEx then runs in it implicitly).
bool ComUsable();

// The narrow form of a wide text for call selectors and messages: ASCII kept, others '?'.
std::string Selector(const wchar_t* pwsz);

// Variant selectors of faults on COM calls with out-pointers.
constexpr int kFaultNullResult = 1;  // return the fault's result, with a null out-pointer

}  // namespace ksim::detail
