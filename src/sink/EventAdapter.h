// What the controller-message and host-time handlers share: finding the adapter an event
// comes from.
#pragma once

#include "adapters/AdapterInfo.h"
#include "common/ComTypes.h"
#include "common/Platform.h"

// Finds the adapter of an event from its InstanceName: the name without its last two
// characters is the adapter's device ID. A name that is not a string, or is shorter than two
// characters, names no adapter. With no adapter the record "Received <class> event from unknown
// adapter" is written and WBEM_E_FAILED returned; without memory, WBEM_E_FAILED alone.
HRESULT FindEventAdapter(const CVARIANT& varName, const char* pszEventClass, WORD* pwAdapterIndex);
