// One connection to both WMI namespaces: what a restart of WMI takes away and a reconnection
// makes anew.
#pragma once

#include "common/ComTypes.h"
#include "common/Handle.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"
#include "wmi/QueryTypes.h"

#include <memory>

class CConsumers;
struct tQueryBook;

// Reference counted, so that a query call still running keeps the connection it began on.
class CConnection {
 public:
  // Connects \\.\ROOT\WMI, then \\.\ROOT\CIMV2; one reference, the caller's. rgpBooks: what the
  // service keeps of each namespace's queries across connections (or nulls). With phrConnect a
  // failure is not logged but given there (a reconnection logs the loss of WMI once).
  static ErrorCode Create(CConnection** ppConnection, tQueryBook* const rgpBooks[nsCount],
                          HRESULT* phrConnect = nullptr);

  ULONG AddRef();
  ULONG Release();

  CConsumers& Consumers(ENameSpace ns) { return *m_rgpConsumers[ns]; }
  // No registration is made on it from now on, and every registration it holds is cancelled.
  void Close();

  // Whether pServices belongs to this connection (null: any call of the service).
  bool Owns(const IWbemServices* pServices) const;
  // WMI is gone for this connection: a call failed with a disconnection, WMI ended the
  // registrations as it stopped, or its process ended.
  void MarkLost();
  bool IsLost() const;
  // A handle to WMI's process, signalled when it ends: how a crash of WMI shows without a call.
  // Null when it cannot be watched that way (the service's process is not known, or cannot be
  // opened); the service then asks WMI now and then whether the connection still works.
  HANDLE WmiProcess() const { return m_hWmiProcess.Get(); }
  // Opens WMI's process for its end, through the Service Control Manager; a handle from before
  // is closed. Nobody may be waiting on that one.
  void WatchWmiProcess();
  // A call that only a live connection answers; false when it failed with a disconnection.
  bool Ping();

 private:
  CConnection();
  ~CConnection();
  CConnection(const CConnection&) = delete;
  CConnection& operator=(const CConnection&) = delete;

  LONG volatile m_lRef;
  LONG volatile m_lLost;
  std::unique_ptr<CConsumers> m_rgpConsumers[nsCount];
  CKernelHandle m_hWmiProcess;
};
