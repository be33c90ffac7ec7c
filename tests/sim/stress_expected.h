// What a frame of the stress run must produce at each of its two screens:
// the icons' placement and the weapon wheel, unpatched and patched.
#pragma once

#include <stdint.h>

#include "standin/vhud_wheel.h"

namespace stress {

struct Screen {
  int32_t width, height;
};
const Screen kScreens[2] = {{1920, 1080}, {1280, 1024}};

struct Expected {
  // Icon placement.
  uint32_t x, healthY, armourY, size;
  // Wheel, unpatched and patched.
  standin::Quad rotated[8], upright[8];
  uint32_t content[2][8], ammo[2][8];
  uint32_t centre[2][6];
};
extern Expected gExpected[2];

// Computed here from the design values, in single precision as the plug-in
// and VHud's code do (the ammo sum is exact in double and rounded once).
void ComputeExpected();

}  // namespace stress
