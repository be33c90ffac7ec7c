#pragma once

#include <stdint.h>

#include "state/plugin_state.h"

extern "C" uint32_t QI_STDCALL WorkerThread(void* parameter);

// The installers the worker drives.
void InstallStaticSlotPatch();
void InstallSpacingPatch();
void InstallCentreTextPatch();
int32_t InstallHudHook();
