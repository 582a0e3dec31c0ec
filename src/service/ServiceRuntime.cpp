#include "service/ServiceRuntime.h"

#include "adapters/AdapterInfo.h"
#include "service/ServiceUtil.h"

SERVICE_STATUS CWMIServiceUtil::s_ssStatus;
SERVICE_STATUS_HANDLE CWMIServiceUtil::s_sshHandle;
DWORD CWMIServiceUtil::s_dwServiceCntrlState;

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  if (argc > 0) CWMIServiceUtil::SetServiceName(argv[0]);
  CAdapterInfo::DeleteSupportedDriverInfo(nullptr);
}

void WINAPI ServiceHandler(DWORD) {}
