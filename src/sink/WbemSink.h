// The object WMI calls back for every registered event query, and the handlers it dispatches to.
#pragma once

#include "common/ComTypes.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"

#include <memory>

// Called on a worker thread for each copied event object of a batch; a non-zero result stops
// the rest of the batch. The handler neither owns nor releases the object.
typedef HRESULT (*IndicateHandler)(IWbemServices* pServices, IWbemClassObject* pObject);
// Called on WMI's thread with the registration whose sink WMI called and the arguments of
// IWbemObjectSink::SetStatus; its result goes back to WMI.
typedef HRESULT (*SetStatusHandler)(DWORD dwRegistration, LONG lFlags, HRESULT hResult, BSTR strParam,
                                    IWbemClassObject* pObjParam);

// The job a worker thread runs: one accepted batch. The record owns its copies and its services
// reference; destroying it releases the copies in index order, then the services.
struct tIndicateThreadInfo {
  IndicateHandler pfnIndicate;
  CComRef<IWbemServices> pServices;                        // the worker's own reference
  std::unique_ptr<CComRef<IWbemClassObject>[]> ppObjects;  // one copy per delivered object, in order
  LONG lCount;
  DWORD dwLastRegistration;  // the newest registration made before WMI delivered the batch
  // The next job of the queue of batches whose thread could not start; the queue owns both.
  tIndicateThreadInfo* pNext;

  ~tIndicateThreadInfo() {
    if (ppObjects)
      for (LONG i = 0; i < lCount; ++i) ppObjects[i].Reset();
  }
};

// One sink per registration: every ExecNotificationQueryAsync call gets a sink of its own, so
// that WMI's callbacks always say which registration they belong to, and a status that ends one
// registration can never be taken for the end of a later one of the same query.
class CWbemSink : public IWbemObjectSink {
 public:
  // Only the namespace consumers make sinks, on the heap; the construction reference is theirs.
  // The sink keeps a reference on the services for as long as it lives, so that a batch that
  // arrives late can still be handled. dwRegistration numbers the registration (NewRegistration).
  CWbemSink(IndicateHandler pfnIndicate, SetStatusHandler pfnSetStatus, const IWbemServices* pServices,
            DWORD dwRegistration = 0);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Indicate(LONG lObjectCount, IWbemClassObject** apObjArray) override;
  HRESULT STDMETHODCALLTYPE SetStatus(LONG lFlags, HRESULT hResult, BSTR strParam,
                                      IWbemClassObject* pObjParam) override;

  DWORD Registration() const { return m_dwRegistration; }
  // True once WMI has sent this registration its final status (WBEM_STATUS_COMPLETE, whatever
  // the result code): WMI holds the call no more. The result code, for the record.
  bool HasEnded() const;
  HRESULT FinalStatus() const;

  // Registrations are numbered in the order they are made, process-wide, never 0.
  static DWORD NewRegistration();
  static DWORD LastRegistration();
  // The newest registration made before the event being handled was delivered: in a worker,
  // the one made before WMI handed over the batch; elsewhere the newest one now. A registration
  // with this number or a smaller one is older than the event.
  static DWORD LastRegistrationBeforeEvent();
  // Whether registration dwRegistration was made no later than registration dwLast.
  static bool MadeNoLaterThan(DWORD dwRegistration, DWORD dwLast);

  // Waits until no worker thread runs; false when the time ran out first.
  static bool WaitForWorkers(DWORD dwMilliseconds);
  // Whether Indicate hands batches to workers (the default); refused batches get
  // WBEM_E_CALL_CANCELLED. The service stops accepting them once it has stopped, so that no
  // worker starts after the last one was waited for.
  static void AcceptBatches(bool bAccept);

  // Controller messages.
  static HRESULT IndEAdapterPrintfNotification(IWbemServices* pServices, IWbemClassObject* pEvent);
  static HRESULT AdapterPrintfNotification(IWbemClassObject* pInstance, WORD wAdapterIndex);

  // Host time.
  static HRESULT IndEHostTimeRequest(IWbemServices* pServices, IWbemClassObject* pEvent);
  static HRESULT HostTimeRequest(IWbemServices* pServices, IWbemClassObject* pInstance, WORD wAdapterIndex);

  // Class and instance changes, each an entry of one table of rules (ChangeHandlers.cpp).
  static const IndicateHandler IndCCreateAdapterPrintf;
  static const IndicateHandler IndCDeleteAdapterPrintf;
  static const IndicateHandler IndICreateAdapterPrintf;
  static const IndicateHandler IndIDeleteAdapterPrintf;
  static const IndicateHandler IndCCreateSetHostTime;
  static const IndicateHandler IndCDeleteSetHostTime;
  static const IndicateHandler IndICreateSetHostTime;
  static const IndicateHandler IndIDeleteSetHostTime;
  static const IndicateHandler IndICreateWin32ScsiController;
  static const IndicateHandler IndIDeleteWin32ScsiController;

  // Set-status handlers, one per query: a final status ends the registration it belongs to,
  // whatever its code; progress reports change nothing.
  static const SetStatusHandler SsEAdapterPrintfNotification;
  static const SetStatusHandler SsCCreateAdapterPrintf;
  static const SetStatusHandler SsCDeleteAdapterPrintf;
  static const SetStatusHandler SsICreateAdapterPrintf;
  static const SetStatusHandler SsIDeleteAdapterPrintf;
  static const SetStatusHandler SsEHostTimeRequest;
  static const SetStatusHandler SsCCreateSetHostTime;
  static const SetStatusHandler SsCDeleteSetHostTime;
  static const SetStatusHandler SsICreateSetHostTime;
  static const SetStatusHandler SsIDeleteSetHostTime;
  static const SetStatusHandler SsICreateWin32ScsiController;
  static const SetStatusHandler SsIDeleteWin32ScsiController;

 protected:
  virtual ~CWbemSink();

  static void __cdecl Indicate_ThreadFunction(void* pvInfo);
  // Indicate's work once the batch is counted: the checks, the copies and the hand-over.
  HRESULT HandOver(LONG lObjectCount, IWbemClassObject** apObjArray);

  // Host time and object paths.
  static ErrorCode RaidGetSystemTime(DWORD* pdwHostTime, SYSTEMTIME* pLocalTime);
  static ErrorCode RaidGetSecondsSince1970(ULARGE_INTEGER uliFileTime, DWORD* pdwSeconds);
  static ErrorCode GetConvertClassPathSize(const wchar_t* pwszValue, DWORD* pdwSize);
  static ErrorCode ConvertClassPathSized(const wchar_t* pwszValue, wchar_t* pwszDest, DWORD dwSize);
  // The object path Class.Key="Value" as a VT_BSTR variant; the three strings are the call's own.
  static ErrorCode GetOPInst(CBSTR bstrClass, CBSTR bstrKey, CBSTR bstrValue, VARIANT* pvarPath);

  // How fetching an event's instance ended; each handler writes its own records.
  enum EInstanceFetch {
    ifFetched,
    ifNoPath,      // no object path could be made
    ifNoMemory,    // no memory for the escaped name
    ifNotFetched,  // GetObject failed or gave no instance
  };
  // Fetches the instance of pwszClass whose InstanceName is bstrName (the whole name of the
  // event), by the path Class.InstanceName="<the name with every backslash doubled>".
  static EInstanceFetch FetchEventInstance(IWbemServices* pServices, const wchar_t* pwszClass, BSTR bstrName,
                                           CComRef<IWbemClassObject>* pInstance);

 private:
  CComRef<IWbemServices> m_pServices;  // the sink's own reference
  IndicateHandler m_pfnIndicate;
  SetStatusHandler m_pfnSetStatus;
  LONG volatile m_lRef;
  DWORD m_dwRegistration;
  LONG volatile m_lEnded;
  LONG volatile m_hrFinal;
};
