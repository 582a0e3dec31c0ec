// The object WMI calls back for every registered event query, and the handlers it dispatches to.
#pragma once

#include "common/ComTypes.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"

// Called on a worker thread for each copied event object of a batch; a non-zero result stops
// the rest of the batch. The handler neither owns nor releases the object.
typedef HRESULT (*IndicateHandler)(IWbemServices* pServices, IWbemClassObject* pObject);
// Called on WMI's thread with the arguments of IWbemObjectSink::SetStatus; its result goes
// back to WMI.
typedef HRESULT (*SetStatusHandler)(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObjParam);

// The job a worker thread runs: one accepted batch.
struct tIndicateThreadInfo {
  IndicateHandler pfnIndicate;
  IWbemServices* pServices;      // one reference, the worker's own
  IWbemClassObject** ppObjects;  // one copy (one reference) per delivered object, in order
  LONG lCount;
};

class CWbemSink : public IWbemObjectSink {
 public:
  // Only the namespace consumers make sinks, on the heap; the construction reference is theirs.
  // The sink keeps a reference on the services for as long as it lives, so that a batch that
  // arrives late can still be handled.
  CWbemSink(IndicateHandler pfnIndicate, SetStatusHandler pfnSetStatus, const IWbemServices* pServices);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Indicate(LONG lObjectCount, IWbemClassObject** apObjArray) override;
  HRESULT STDMETHODCALLTYPE SetStatus(LONG lFlags, HRESULT hResult, BSTR strParam,
                                      IWbemClassObject* pObjParam) override;

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

  // Class and instance changes.
  static HRESULT IndCCreateAdapterPrintf(IWbemServices* pServices, IWbemClassObject* pObject);
  static HRESULT IndCDeleteAdapterPrintf(IWbemServices* pServices, IWbemClassObject* pObject);
  static HRESULT IndICreateAdapterPrintf(IWbemServices* pServices, IWbemClassObject* pObject);
  static HRESULT IndIDeleteAdapterPrintf(IWbemServices* pServices, IWbemClassObject* pObject);
  static HRESULT IndCCreateSetHostTime(IWbemServices* pServices, IWbemClassObject* pObject);
  static HRESULT IndCDeleteSetHostTime(IWbemServices* pServices, IWbemClassObject* pObject);
  static HRESULT IndICreateSetHostTime(IWbemServices* pServices, IWbemClassObject* pObject);
  static HRESULT IndIDeleteSetHostTime(IWbemServices* pServices, IWbemClassObject* pObject);
  static HRESULT IndICreateWin32ScsiController(IWbemServices* pServices, IWbemClassObject* pObject);
  static HRESULT IndIDeleteWin32ScsiController(IWbemServices* pServices, IWbemClassObject* pObject);

  static HRESULT SsEAdapterPrintfNotification(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsCCreateAdapterPrintf(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsCDeleteAdapterPrintf(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsICreateAdapterPrintf(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsIDeleteAdapterPrintf(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsEHostTimeRequest(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsCCreateSetHostTime(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsCDeleteSetHostTime(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsICreateSetHostTime(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsIDeleteSetHostTime(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsICreateWin32ScsiController(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);
  static HRESULT SsIDeleteWin32ScsiController(LONG lFlags, HRESULT hResult, BSTR strParam, IWbemClassObject* pObj);

 protected:
  virtual ~CWbemSink();

  static void __cdecl Indicate_ThreadFunction(void* pvInfo);

  // Host time and object paths.
  static ErrorCode RaidGetSystemTime(DWORD* pdwHostTime, SYSTEMTIME* pLocalTime);
  static ErrorCode RaidGetSecondsSince1970(ULARGE_INTEGER uliFileTime, DWORD* pdwSeconds);
  static ErrorCode GetConvertClassPathSize(const wchar_t* pwszValue, DWORD* pdwSize);
  static ErrorCode ConvertClassPathSized(const wchar_t* pwszValue, wchar_t* pwszDest, DWORD dwSize);
  // The object path Class.Key="Value" as a VT_BSTR variant; the three strings are the call's own.
  static ErrorCode GetOPInst(CBSTR bstrClass, CBSTR bstrKey, CBSTR bstrValue, VARIANT* pvarPath);

 private:
  IWbemServices* m_pServices;
  IndicateHandler m_pfnIndicate;
  SetStatusHandler m_pfnSetStatus;
  LONG volatile m_lRef;
};
