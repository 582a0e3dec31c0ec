#include "wmi/Consumers.h"

const char c_pszQueryStatus[5][30] = {"Unknown query", "Inactive query", "Active query", "Query failed",
                                      "Bad query status"};

namespace {

const tQueryEventsInfo s_pQueryEventsInfoWMI[] = {
    {CWbemSink::IndEAdapterPrintfNotification, CWbemSink::SsEAdapterPrintfNotification,
     L"SELECT * FROM Talvenix_AdapterPrintfNotification", true},
    {CWbemSink::IndCCreateAdapterPrintf, CWbemSink::SsCCreateAdapterPrintf,
     L"SELECT * FROM __ClassCreationEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_AdapterPrintf\"", false},
    {CWbemSink::IndCDeleteAdapterPrintf, CWbemSink::SsCDeleteAdapterPrintf,
     L"SELECT * FROM __ClassDeletionEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_AdapterPrintf\"", false},
    {CWbemSink::IndICreateAdapterPrintf, CWbemSink::SsICreateAdapterPrintf,
     L"SELECT * FROM __InstanceCreationEvent  WITHIN 60 WHERE TargetInstance ISA \"Talvenix_AdapterPrintf\"", false},
    {CWbemSink::IndIDeleteAdapterPrintf, CWbemSink::SsIDeleteAdapterPrintf,
     L"SELECT * FROM __InstanceDeletionEvent  WITHIN 60 WHERE TargetInstance ISA \"Talvenix_AdapterPrintf\"", false},
    {CWbemSink::IndEHostTimeRequest, CWbemSink::SsEHostTimeRequest, L"SELECT * FROM Talvenix_HostTimeRequest", true},
    {CWbemSink::IndCCreateSetHostTime, CWbemSink::SsCCreateSetHostTime,
     L"SELECT * FROM __ClassCreationEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_SetHostTime\"", false},
    {CWbemSink::IndCDeleteSetHostTime, CWbemSink::SsCDeleteSetHostTime,
     L"SELECT * FROM __ClassDeletionEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_SetHostTime\"", false},
    {CWbemSink::IndICreateSetHostTime, CWbemSink::SsICreateSetHostTime,
     L"SELECT * FROM __InstanceCreationEvent  WITHIN 60 WHERE TargetInstance ISA \"Talvenix_SetHostTime\"", false},
    {CWbemSink::IndIDeleteSetHostTime, CWbemSink::SsIDeleteSetHostTime,
     L"SELECT * FROM __InstanceDeletionEvent  WITHIN 60 WHERE TargetInstance ISA \"Talvenix_SetHostTime\"", false},
};

const tQueryEventsInfo s_pQueryEventsInfoCIMV2[] = {
    {CWbemSink::IndICreateWin32ScsiController, CWbemSink::SsICreateWin32ScsiController,
     L"SELECT * FROM __InstanceCreationEvent  WITHIN 60 WHERE TargetInstance ISA \"Win32_SCSIController\"", false},
    {CWbemSink::IndIDeleteWin32ScsiController, CWbemSink::SsIDeleteWin32ScsiController,
     L"SELECT * FROM __InstanceDeletionEvent  WITHIN 60 WHERE TargetInstance ISA \"Win32_SCSIController\"", false},
};

}  // namespace

const DWORD CConsumers::s_pdwQueryCount[nsCount] = {
    sizeof(s_pQueryEventsInfoWMI) / sizeof(s_pQueryEventsInfoWMI[0]),
    sizeof(s_pQueryEventsInfoCIMV2) / sizeof(s_pQueryEventsInfoCIMV2[0]),
};

const tQueryEventsInfo* const CConsumers::s_ppQueryEventsInfo[nsCount] = {s_pQueryEventsInfoWMI,
                                                                          s_pQueryEventsInfoCIMV2};
