#pragma once

#include <stdint.h>

#include "state/plugin_state.h"

extern "C" uint32_t QI_STDCALL WorkerThread(void* parameter);

// The installers the worker drives.
void InstallStaticSlotPatch();
void InstallSpacingPatch();
void InstallCentreTextPatch();
int32_t InstallHudHook();

// Whether the VHud image at `base`, `size` bytes, is the build whose offsets
// the plug-in knows (RecogniseBuild over its sites, each read only once
// IsRangeReadable allows).
bool IsKnownVhudBuild(uintptr_t base, uint32_t size);
// The worker's step on finding VHud: reads its header, logs its base and
// size and, for the known build (or a size of 0), records both; another
// build is logged and left alone. False for another build.
bool RecordVhud(uintptr_t base);
