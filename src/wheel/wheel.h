// Weapon-wheel layout: the code VHud's patched sites lead into.
#pragma once

#include <stdint.h>

#include "host/host.h"

extern "C" {
void QI_CDECL StaticSlotRotate(vhud::WheelQuad* quad, float centreX, float centreY, float angle);
float QI_CDECL SlotXOffset(uint32_t index);
float QI_CDECL AmmoXOffset(uint32_t index);
// Entered by a jump from VHud's code, not callable.
void SpacingCave();
}

// Slot number of a wheel angle: slot k belongs to -pi - k*pi/4.
int32_t SlotFromAngle(float angle);

int32_t RedirectFloatOperand(uint32_t offset, uint8_t operation, const float* target,
                             const char* label);
