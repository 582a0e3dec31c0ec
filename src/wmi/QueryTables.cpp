#include "wmi/Consumers.h"

namespace {

const tQueryEventsInfo s_pQueryEventsInfoWMI[] = {
    {CWbemSink::IndEAdapterPrintfNotification, CWbemSink::SsEAdapterPrintfNotification,
     L"SELECT * FROM Talvenix_AdapterPrintfNotification", true},
    {CWbemSink::IndCCreateAdapterPrintf, CWbemSink::SsCCreateAdapterPrintf,
     L"SELECT * FROM __ClassCreationEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_AdapterPrintf\"", true},
    {CWbemSink::IndCDeleteAdapterPrintf, CWbemSink::SsCDeleteAdapterPrintf,
     L"SELECT * FROM __ClassDeletionEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_AdapterPrintf\"", true},
    {CWbemSink::IndICreateAdapterPrintf, CWbemSink::SsICreateAdapterPrintf,
     L"SELECT * FROM __InstanceCreationEvent  WITHIN 60 WHERE TargetInstance ISA \"Talvenix_AdapterPrintf\"", false},
    {CWbemSink::IndIDeleteAdapterPrintf, CWbemSink::SsIDeleteAdapterPrintf,
     L"SELECT * FROM __InstanceDeletionEvent  WITHIN 60 WHERE TargetInstance ISA \"Talvenix_AdapterPrintf\"", false},
    {CWbemSink::IndEHostTimeRequest, CWbemSink::SsEHostTimeRequest, L"SELECT * FROM Talvenix_HostTimeRequest", true},
    {CWbemSink::IndCCreateSetHostTime, CWbemSink::SsCCreateSetHostTime,
     L"SELECT * FROM __ClassCreationEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_SetHostTime\"", true},
    {CWbemSink::IndCDeleteSetHostTime, CWbemSink::SsCDeleteSetHostTime,
     L"SELECT * FROM __ClassDeletionEvent  WITHIN 60 WHERE TargetClass ISA \"Talvenix_SetHostTime\"", true},
    {CWbemSink::IndICreateSetHostTime, CWbemSink::SsICreateSetHostTime,
     L"SELECT * FROM __InstanceCreationEvent  WITHIN 60 WHERE TargetInstance ISA \"Talvenix_SetHostTime\"", false},
    {CWbemSink::IndIDeleteSetHostTime, CWbemSink::SsIDeleteSetHostTime,
     L"SELECT * FROM __InstanceDeletionEvent  WITHIN 60 WHERE TargetInstance ISA \"Talvenix_SetHostTime\"", false},
};

const tQueryEventsInfo s_pQueryEventsInfoCIMV2[] = {
    {CWbemSink::IndICreateWin32ScsiController, CWbemSink::SsICreateWin32ScsiController,
     L"SELECT * FROM __InstanceCreationEvent  WITHIN 60 WHERE TargetInstance ISA \"Win32_SCSIController\"", true},
    {CWbemSink::IndIDeleteWin32ScsiController, CWbemSink::SsIDeleteWin32ScsiController,
     L"SELECT * FROM __InstanceDeletionEvent  WITHIN 60 WHERE TargetInstance ISA \"Win32_SCSIController\"", true},
};

}  // namespace

template <size_t N>
constexpr DWORD RowCount(const tQueryEventsInfo (&)[N]) {
  return static_cast<DWORD>(N);
}

const tNameSpaceInfo CConsumers::c_rgNameSpaces[nsCount] = {
    {L"\\\\.\\ROOT\\WMI", s_pQueryEventsInfoWMI, RowCount(s_pQueryEventsInfoWMI)},
    {L"\\\\.\\ROOT\\CIMV2", s_pQueryEventsInfoCIMV2, RowCount(s_pQueryEventsInfoCIMV2)},
};
