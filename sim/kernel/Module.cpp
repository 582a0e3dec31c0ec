// The executable's module handle and path, and the process heaps.
#include <ksim/Host.h>

#include "internal/Sim.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

const HMODULE kExecutable = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
const HANDLE kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x10000));

struct ModuleState {
  std::mutex lock;
  std::string path;
};

ModuleState& State() {
  static ModuleState* s_pState = [] {
    auto* p = new ModuleState;
    const char* env = std::getenv("KSIM_MODULE_PATH");
    p->path = env && *env ? env : "C:\\korvlog\\korvlog.exe";
    return p;
  }();
  return *s_pState;
}

// A zero-filled or plain block with its size in front, so that frees are checked and counted.
void* AllocBlock(const char* kind, SIZE_T bytes, bool bZero) {
  void* p = bZero ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (p) ksim::detail::AddLive(kind, 1);
  return p;
}

}  // namespace

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
  if (auto f = ksim::detail::Enter("GetModuleHandleA", lpModuleName ? lpModuleName : "")) {
    SetLastError(f->lastError);
    return nullptr;
  }
  if (lpModuleName) {
    SetLastError(ERROR_FILE_NOT_FOUND);  // the simulated process loads no other module
    return nullptr;
  }
  return kExecutable;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (auto f = ksim::detail::Enter("GetModuleFileNameA")) {
    SetLastError(f->lastError);
    return 0;
  }
  if (hModule && hModule != kExecutable) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  std::string path = ksim::ModulePath();
  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= nSize) {
    // Windows truncates, terminates within the buffer and reports the buffer size.
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (auto f = ksim::detail::Enter("LocalAlloc", std::to_string(uBytes))) {
    SetLastError(f->lastError ? f->lastError : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* p = AllocBlock("local_allocs", uBytes, (uFlags & LMEM_ZEROINIT) != 0);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (hMem) {
    std::free(hMem);
    ksim::detail::AddLive("local_allocs", -1);
  }
  return nullptr;
}

HANDLE WINAPI GetProcessHeap() { return kProcessHeap; }

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  if (auto f = ksim::detail::Enter("HeapAlloc", std::to_string(dwBytes))) {
    SetLastError(f->lastError ? f->lastError : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (hHeap != kProcessHeap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return AllocBlock("heap_allocs", dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
  if (hHeap != kProcessHeap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpMem) {
    std::free(lpMem);
    ksim::detail::AddLive("heap_allocs", -1);
  }
  return TRUE;
}

namespace ksim {

void SetModulePath(const std::string& path) {
  ModuleState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  s.path = path;
}

std::string ModulePath() {
  ModuleState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.path;
}

}  // namespace ksim
