// CBSTR, CVARIANT, CComRef and CHandle: ownership on every path and checked reads.
#include "common/ComTypes.h"
#include "common/Handle.h"

#include "support/Com.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using ktest::Fault;

// A COM object that counts its references.
class CountedUnknown : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_lRef; }
  ULONG STDMETHODCALLTYPE Release() override { return --m_lRef; }
  LONG m_lRef = 1;
};

TEST(CBSTR, OwnsOneCopyAndFreesItOnEveryPath) {
  const int64_t before = ksim::LiveCount("bstrs");
  {
    CBSTR a(L"Win32_SCSIController");
    ASSERT_FALSE(a.IsNull());
    EXPECT_EQ(20u, SysStringLen(a.Get()));
    CBSTR b(std::move(a));
    EXPECT_TRUE(a.IsNull());
    CBSTR c(L"other");
    c = std::move(b);  // frees "other"
    EXPECT_EQ(before + 1, ksim::LiveCount("bstrs"));
    *c.Put() = SysAllocString(L"replaced");  // Put freed the old value first
    EXPECT_EQ(before + 1, ksim::LiveCount("bstrs"));
    BSTR detached = c.Detach();
    SysFreeString(detached);
  }
  EXPECT_EQ(before, ksim::LiveCount("bstrs"));
}

TEST(CBSTR, NullTextAndFailedAllocationGiveNull) {
  EXPECT_TRUE(CBSTR(nullptr).IsNull());
  ksim::ScopedFault fault(Fault("SysAllocString"));
  EXPECT_TRUE(CBSTR(L"x").IsNull());
}

TEST(CVARIANT, CheckedReadsRefuseOtherTypes) {
  CVARIANT var;
  LONG l = 7;
  BSTR bstr = nullptr;
  SAFEARRAY* psa = nullptr;
  IUnknown* punk = nullptr;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, var.GetI4(&l));  // VT_EMPTY
  ASSERT_EQ(S_OK, var.SetBSTR(L"text"));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, var.GetI4(&l));
  EXPECT_EQ(7, l) << "a refused read leaves the out-value alone";
  ASSERT_EQ(S_OK, var.GetBSTR(&bstr));
  EXPECT_STREQ(L"text", bstr);
  var.SetI4(-5);
  EXPECT_EQ(S_OK, var.GetI4(&l));
  EXPECT_EQ(-5, l);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, var.GetBSTR(&bstr));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, var.GetByteArray(&psa));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, var.GetUnknown(&punk));
  EXPECT_EQ(E_POINTER, var.GetI4(nullptr));

  // An array of other elements is no byte array.
  VARIANT* p = var.Put();
  p->vt = VT_ARRAY | VT_I4;
  p->parray = SafeArrayCreateVector(VT_I4, 0, 2);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, var.GetByteArray(&psa));
  p = var.Put();
  p->vt = VT_ARRAY | VT_UI1;
  p->parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  EXPECT_EQ(S_OK, var.GetByteArray(&psa));
  EXPECT_EQ(p->parray, psa);
}

TEST(CVARIANT, ReleasesWhatItHolds) {
  const int64_t bstrs = ksim::LiveCount("bstrs");
  const int64_t arrays = ksim::LiveCount("safearrays");
  CountedUnknown unk;
  {
    CVARIANT a;
    ASSERT_EQ(S_OK, a.SetBSTR(L"x"));
    CVARIANT b(std::move(a));
    EXPECT_EQ(VT_EMPTY, a.Type());
    VARIANT* p = b.Put();  // frees the string
    EXPECT_EQ(bstrs, ksim::LiveCount("bstrs"));
    p->vt = VT_UNKNOWN;
    p->punkVal = &unk;
    unk.AddRef();
    CVARIANT c;
    c.Put()->vt = VT_ARRAY | VT_UI1;
    c.Ptr()->parray = SafeArrayCreateVector(VT_UI1, 0, 4);
    EXPECT_EQ(arrays + 1, ksim::LiveCount("safearrays"));
  }
  EXPECT_EQ(1, unk.m_lRef);
  EXPECT_EQ(bstrs, ksim::LiveCount("bstrs"));
  EXPECT_EQ(arrays, ksim::LiveCount("safearrays"));
}

TEST(CVARIANT, SetBSTRWithoutMemoryLeavesItEmpty) {
  CVARIANT var;
  var.SetI4(1);
  ksim::ScopedFault fault(Fault("SysAllocString"));
  EXPECT_EQ(E_OUTOFMEMORY, var.SetBSTR(L"x"));
  EXPECT_EQ(VT_EMPTY, var.Type());
}

TEST(CComRef, HoldsExactlyOneReference) {
  CountedUnknown unk;
  {
    CComRef<IUnknown> a(&unk);  // takes over the initial reference
    CComRef<IUnknown> b = CComRef<IUnknown>::Share(&unk);
    EXPECT_EQ(2, unk.m_lRef);
    CComRef<IUnknown> c(std::move(b));
    EXPECT_FALSE(b);
    EXPECT_EQ(2, unk.m_lRef);
    c.Put();  // releases, then offers the field
    EXPECT_EQ(1, unk.m_lRef);
    EXPECT_EQ(nullptr, c.Get());
    IUnknown* p = a.Detach();
    EXPECT_EQ(1, unk.m_lRef);
    p->Release();
  }
  EXPECT_EQ(0, unk.m_lRef);
}

}  // namespace

TEST(CHandle, ClosesOnceAndKeepsTheCallersLastError) {
  const int64_t before = ksim::LiveCount("handles");
  {
    CKernelHandle hEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(hEvent);
    CKernelHandle hMoved(std::move(hEvent));
    EXPECT_FALSE(hEvent);
    EXPECT_EQ(before + 1, ksim::LiveCount("handles"));
    SetLastError(0xdeadbeef);
    hMoved.Reset();
    EXPECT_EQ(0xdeadbeefu, GetLastError());
    EXPECT_EQ(before, ksim::LiveCount("handles"));
  }
  EXPECT_EQ(before, ksim::LiveCount("handles"));
}
