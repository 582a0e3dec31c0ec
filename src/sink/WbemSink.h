// The object WMI calls back for every registered event query, and the handlers it dispatches to.
#pragma once

#include "common/ComTypes.h"
#include "common/Platform.h"
#include "diagnostics/Error.h"

#include <memory>

class CEventFilter;
struct tEventAdapter;

// Called on a worker thread for each copied event object of a batch; a non-zero result stops
// the rest of the batch. The handler neither owns nor releases the object.
typedef HRESULT (*IndicateHandler)(IWbemServices* pServices, IWbemClassObject* pObject);
// Called on WMI's thread with the registration whose sink WMI called and the arguments of
// IWbemObjectSink::SetStatus; its result goes back to WMI.
typedef HRESULT (*SetStatusHandler)(DWORD dwRegistration, LONG lFlags, HRESULT hResult, BSTR strParam,
                                    IWbemClassObject* pObjParam);

// One event handed to the workers (CDispatcher): the copy of a delivered object, with what was
// read of it at delivery. The record owns the copy and its services reference.
struct tIndicateThreadInfo {
  IndicateHandler pfnIndicate = nullptr;
  CComRef<IWbemServices> pServices;   // the worker's own reference
  CComRef<IWbemClassObject> pObject;  // the copy
  ULONGLONG ullLane = 0;              // CDispatcher's lane of the event
  // A controller's event: its InstanceName, read once at delivery (the handler reads no more).
  bool bNameRead = false;
  HRESULT hrName = S_OK;
  CVARIANT varName;
  DWORD dwLastRegistration = 0;  // the newest registration made before WMI delivered the event
  LONG lScansBefore = 0;         // adapter-table scans begun before WMI delivered the event
  DWORD dwTicket = 0;            // the run's rundown ticket while the event is in hand
  tIndicateThreadInfo* pNext = nullptr;  // the next event of its lane
  // Instead of an event: work of the service's own that runs in the lane of the changes.
  void (*pfnTask)(void* pvTask) = nullptr;
  void* pvTask = nullptr;
};

// On a worker: the event its handler is handling; null elsewhere.
const tIndicateThreadInfo* CurrentIndicateJob();

// One sink per registration: every ExecNotificationQueryAsync call gets a sink of its own, so
// that WMI's callbacks always say which registration they belong to, and a status that ends one
// registration can never be taken for the end of a later one of the same query.
class CWbemSink : public IWbemObjectSink {
 public:
  // Only the namespace consumers make sinks, on the heap; the construction reference is theirs.
  // The sink keeps a reference on the services for as long as it lives, so that a batch that
  // arrives late can still be handled. dwRegistration numbers the registration (NewRegistration).
  // bControllerEvents: each event belongs to one controller (its InstanceName), and the events of
  // one controller are handled one after another; the message and host-time handlers' events are
  // always so. Otherwise the events share the lane of the class, instance and controller changes.
  CWbemSink(IndicateHandler pfnIndicate, SetStatusHandler pfnSetStatus, const IWbemServices* pServices,
            DWORD dwRegistration = 0, bool bControllerEvents = false);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Indicate(LONG lObjectCount, IWbemClassObject** apObjArray) override;
  HRESULT STDMETHODCALLTYPE SetStatus(LONG lFlags, HRESULT hResult, BSTR strParam,
                                      IWbemClassObject* pObjParam) override;

  DWORD Registration() const { return m_dwRegistration; }
  // The filter of the query's events that this registration's events pass (CEventFilter); set
  // before the registration is made.
  void SetFilter(CEventFilter* pFilter);
  // True while WMI is inside Indicate on this sink.
  bool IsDelivering() const;
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

  // Reads an event's InstanceName: the one read at delivery when pEvent is the event the calling
  // worker is handling, otherwise from the object. The text is borrowed from *pvarName or from
  // the event's record, for as long as the handler runs.
  static HRESULT GetEventName(IWbemClassObject* pEvent, CVARIANT* pvarName, const CVARIANT** ppvarName);

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

  // Whether the row's events belong to one controller each (its lane is the InstanceName's).
  bool HasControllerEvents() const;

  // Host time and object paths.
  static ErrorCode RaidGetSystemTime(DWORD* pdwHostTime, SYSTEMTIME* pLocalTime);
  static ErrorCode RaidGetSecondsSince1970(ULARGE_INTEGER uliFileTime, DWORD* pdwSeconds);
  static ErrorCode GetConvertClassPathSize(const wchar_t* pwszValue, DWORD* pdwSize);
  static ErrorCode ConvertClassPathSized(const wchar_t* pwszValue, wchar_t* pwszDest, DWORD dwSize);
  // The object path Class.Key="Value" as a VT_BSTR variant; the three strings are the call's own.
  static ErrorCode GetOPInst(CBSTR bstrClass, CBSTR bstrKey, CBSTR bstrValue, VARIANT* pvarPath);

  // The two handlers' work once the event's adapter is known.
  // LogAdapterMessage: WBEM_E_FAILED when a property of the message could not be read, after
  // its record; *phrCause (if given) is then what the read gave.
  static HRESULT LogAdapterMessage(IWbemClassObject* pInstance, const tEventAdapter& adapter,
                                   HRESULT* phrCause = nullptr);
  // Answers a request through SetAdapterTime. WMI may fail in one of its steps for a moment: the
  // steps are tried again as a whole, three times over about 100 ms; a request still not answered
  // then has its record and the loss record (bstrName: the event's InstanceName, or null).
  static HRESULT AnswerHostTime(IWbemServices* pServices, IWbemClassObject* pInstance, const tEventAdapter& adapter,
                                BSTR bstrName);
  // One try of AnswerHostTime's steps: a failure, or WBEM_S_NO_ERROR. When a WMI step failed,
  // *ppszFormat and *ppszSubject give its record and *phrStep the result it gave (which may be a
  // success with no object); on another failure *ppszFormat stays null.
  static HRESULT CallSetAdapterTime(IWbemServices* pServices, IWbemClassObject* pInstance, SYSTEMTIME* pLocalTime,
                                    const char** ppszFormat, const char** ppszSubject, HRESULT* phrStep);
  // Between two tries of a WMI call that failed: waits before try nAttempt + 2 and returns true,
  // or returns false when the third try is past (about 100 ms in all).
  static bool PauseBeforeRetry(size_t nAttempt);

  // How fetching an event's instance ended; each handler writes its own records.
  enum EInstanceFetch {
    ifFetched,
    ifNoPath,      // no object path could be made
    ifNoMemory,    // no memory for the escaped name
    ifNotFetched,  // GetObject failed or gave no instance, also when tried again
  };
  // Fetches the instance of pwszClass whose InstanceName is bstrName (the whole name of the
  // event), by the path Class.InstanceName="<the name with each backslash and double quote
  // escaped>". A provider may be busy for a moment: a failed GetObject is tried twice more,
  // about 100 ms in all; *phr is the last failure.
  static EInstanceFetch FetchEventInstance(IWbemServices* pServices, const wchar_t* pwszClass, BSTR bstrName,
                                           CComRef<IWbemClassObject>* pInstance, HRESULT* phr);

 private:
  CComRef<IWbemServices> m_pServices;  // the sink's own reference
  IndicateHandler m_pfnIndicate;
  SetStatusHandler m_pfnSetStatus;
  LONG volatile m_lRef;
  DWORD m_dwRegistration;
  LONG volatile m_lEnded;
  LONG volatile m_hrFinal;
  bool m_bControllerEvents;
  LONG volatile m_lDelivering;
  CEventFilter* m_pFilter;  // one reference, or null
};
