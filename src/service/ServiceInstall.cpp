#include "service/ServiceUtil.h"

ErrorCode CWMIServiceUtil::ServiceInstall(const char*) { return ecNotImplemented; }

ErrorCode CWMIServiceUtil::ServiceUninstall(bool) { return ecNotImplemented; }

ErrorCode CWMIServiceUtil::Reconfig() { return ecNotImplemented; }
