// Runtime threads of the simulated host.
#pragma once

#include "windef.h"

uintptr_t _beginthread(void(__cdecl* start_address)(void*), unsigned stack_size, void* arglist);
void _endthread();
