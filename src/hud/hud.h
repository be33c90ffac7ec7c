// The HUD frame: the redirected jump, the frame wrapper and the icons.
#pragma once

#include <stdint.h>

#include "platform/region_answers.h"
#include "state/plugin_state.h"

extern "C" void HudFrameHook();

void LogStateChange(int32_t state);
// Whether an icon's texture can be drawn, judged with the frame's memory
// answers; the one-argument form asks about its ranges afresh.
int32_t IsIconUsable(RegionAnswers& answers, uint32_t texture);
inline int32_t IsIconUsable(uint32_t texture) {
  RegionAnswers answers;
  ForgetAnswers(answers);
  return IsIconUsable(answers, texture);
}
void LogIconPointers(const char* tag, uint32_t health, uint32_t armour);
// The rest of a frame in state DrawingAllowed, with the frame's memory
// answers; `readableWheel` is the wheel byte's address when this frame found
// it readable, else 0.
void RunIconOverlay(RegionAnswers& answers, uintptr_t readableWheel);

// Icon placement for a screen, in single precision.
struct IconPlacement {
  float x;
  float healthY;
  float armourY;
  float size;
};
IconPlacement PlaceIcons(int32_t width, int32_t height);
