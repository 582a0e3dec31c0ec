// Owners of Win32 handles: one template, one close rule per family, one typedef per resource.
// Each is non-copyable and movable; Put() frees the old value and hands out the address for a
// call that fills it; Detach() gives up ownership. Every family here reports failure as null.
#pragma once

#include "common/Platform.h"

// Owns one handle of a family and closes it when replaced or destroyed. Closing keeps the
// caller's last error: an owner that goes out of scope between a failed call and the
// GetLastError that reads it must not change what that read sees.
template <typename THandle, typename TTraits>
class CHandle {
 public:
  CHandle() = default;
  explicit CHandle(THandle h) : m_h(h) {}
  ~CHandle() { Reset(); }
  CHandle(const CHandle&) = delete;
  CHandle& operator=(const CHandle&) = delete;
  CHandle(CHandle&& other) noexcept : m_h(other.Detach()) {}
  CHandle& operator=(CHandle&& other) noexcept {
    if (this != &other) Reset(other.Detach());
    return *this;
  }

  THandle Get() const { return m_h; }
  explicit operator bool() const { return m_h != THandle(); }
  THandle* Put() {
    Reset();
    return &m_h;
  }
  THandle Detach() {
    THandle h = m_h;
    m_h = THandle();
    return h;
  }
  void Reset(THandle h = THandle()) {
    if (m_h) {
      const DWORD dwLastError = GetLastError();
      TTraits::Close(m_h);
      SetLastError(dwLastError);
    }
    m_h = h;
  }

 private:
  THandle m_h = THandle();
};

struct tScHandleTraits {
  static void Close(SC_HANDLE h) { CloseServiceHandle(h); }
};
struct tScLockTraits {
  static void Close(SC_LOCK l) { UnlockServiceDatabase(l); }
};
struct tRegKeyTraits {
  static void Close(HKEY h) { RegCloseKey(h); }
};
struct tLocalTraits {
  static void Close(HLOCAL p) { LocalFree(p); }
};
struct tEventSourceTraits {
  static void Close(HANDLE h) { DeregisterEventSource(h); }
};
struct tKernelHandleTraits {
  static void Close(HANDLE h) { CloseHandle(h); }
};

typedef CHandle<SC_HANDLE, tScHandleTraits> CScHandle;       // OpenSCManager, OpenService, CreateService
typedef CHandle<SC_LOCK, tScLockTraits> CScLock;             // LockServiceDatabase
typedef CHandle<HKEY, tRegKeyTraits> CRegKey;                // RegOpenKeyEx, RegCreateKeyEx
typedef CHandle<HLOCAL, tLocalTraits> CLocalMem;             // LocalAlloc
typedef CHandle<HANDLE, tEventSourceTraits> CEventSource;    // RegisterEventSource
typedef CHandle<HANDLE, tKernelHandleTraits> CKernelHandle;  // CreateEvent and other null-failing calls
