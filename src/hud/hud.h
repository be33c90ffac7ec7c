// The HUD frame: the redirected jump, the frame wrapper and the icons.
#pragma once

#include <stdint.h>

#include "state/plugin_state.h"

extern "C" void HudFrameHook();

void LogStateChange(int32_t state);
int32_t IsIconUsable(uint32_t texture);
void LogIconPointers(const char* tag, uint32_t health, uint32_t armour);
// The rest of a frame in state DrawingAllowed.
void RunIconOverlay();

// Icon placement for a screen, in single precision.
struct IconPlacement {
  float x;
  float healthY;
  float armourY;
  float size;
};
IconPlacement PlaceIcons(int32_t width, int32_t height);
