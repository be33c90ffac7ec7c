#pragma once

#include <stdint.h>

#include "state/plugin_state.h"

constexpr uint32_t kDllProcessDetach = 0;
constexpr uint32_t kDllProcessAttach = 1;

extern "C" int32_t QI_STDCALL DllMain(void* module, uint32_t reason, void* reserved);
