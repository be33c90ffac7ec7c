// What the stand-in "VHud.asi" exports to the stand-in game: access to its
// recorder and its settings, which live in the DLL. Looked up by name with
// GetProcAddress; all cdecl.
#pragma once

#include <stdint.h>

#include "standin/vhud_image.h"

extern "C" {
typedef standin::VhudRecorder*(__cdecl* StandinVhudRecordFn)();
typedef void(__cdecl* StandinVhudSetLoadResultsFn)(uint32_t health, uint32_t armour);
// 1 once DllMain pointed the game's HUD jump at VHud's HUD routine.
typedef uint32_t(__cdecl* StandinVhudHookedGameFn)();
// The wheel stand-in's record, and VHud's rotation without counting (for the
// expected quads); absent when the DLL is built without the wheel stand-in.
typedef const void*(__cdecl* StandinVhudWheelRecordFn)();
typedef void(__cdecl* StandinVhudRotateQuadFn)(float quad[8], float centreX, float centreY,
                                               float angle);
// Every slot's quad before VHud turns it, and the point it turns them about,
// on the game's current screen.
typedef void(__cdecl* StandinVhudSlotStartQuadFn)(float quad[8]);
typedef void(__cdecl* StandinVhudWheelCentreFn)(float* x, float* y);
}

#define QI_VHUD_EXPORT_RECORD "StandinVhudRecord"
#define QI_VHUD_EXPORT_SET_LOAD_RESULTS "StandinVhudSetLoadResults"
#define QI_VHUD_EXPORT_HOOKED_GAME "StandinVhudHookedGame"
#define QI_VHUD_EXPORT_WHEEL_RECORD "StandinVhudWheelRecord"
#define QI_VHUD_EXPORT_ROTATE_QUAD "StandinVhudRotateQuad"
#define QI_VHUD_EXPORT_SLOT_START_QUAD "StandinVhudSlotStartQuad"
#define QI_VHUD_EXPORT_WHEEL_CENTRE "StandinVhudWheelCentre"
