// What the controller-message and host-time handlers share: finding the adapter an event
// comes from.
#pragma once

#include "adapters/AdapterInfo.h"
#include "common/ComTypes.h"
#include "common/Platform.h"

// Finds the adapter of an event from its InstanceName: the name without its last two
// characters is the adapter's device ID. A name that is not a string, or is shorter than two
// characters, names no adapter. An adapter the table does not know may be one that WMI has not
// announced yet: the table is built anew (at most once a second, CWMIService::FollowUnknownAdapter)
// and searched again. With no adapter even then, the record "Received <class> event from
// unknown adapter" names the instance, and WBEM_E_FAILED is returned; without memory,
// WBEM_E_FAILED alone.
HRESULT FindEventAdapter(const CVARIANT& varName, const char* pszEventClass, tEventAdapter* pAdapter);

// What an event of a known adapter has cost when it could not be served: the record
// (c_dwMsgEventLost) that names the event (pszWhat, "is lost" or "is not answered" as pszFate),
// the driver, why (pszWhy), the instance (bstrName, or null) and the error, and the count of
// what was lost.
void LogEventLost(const char* pszWhat, const char* pszFate, const tEventAdapter& adapter, const char* pszWhy,
                  BSTR bstrName, HRESULT hr);
