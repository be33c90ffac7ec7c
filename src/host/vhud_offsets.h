// VHud's items at fixed offsets from its load address. Plain numbers, so
// that a reader of a VHud file on any machine (quorvel-check) uses the same.
#pragma once

#include <stdint.h>

namespace vhud {

constexpr uint32_t kLoadSprite = 0x4F610;
constexpr uint32_t kRotateVertices = 0x50290;
// Slot layout: VHud's MOV EDI, [EDX+44h] at +0x6BBD9 stays; the patch's jump
// takes the place of its LEA ECX, [EBP-3F5Ch] at +0x6BBDC.
constexpr uint32_t kSpacingSite = 0x6BBD9;
constexpr uint32_t kSpacingJump = 0x6BBDC;
constexpr uint32_t kSpacingResume = 0x6BBE2;
constexpr uint32_t kRotateCallSite = 0x6CDA8;
constexpr uint32_t kRotateCallEnd = 0x6CDAD;
constexpr uint32_t kRadarEnabled = 0x155409;
constexpr uint32_t kWheelOpen = 0x1049E32;
constexpr uint32_t kWheelOpenEnd = 0x1049E33;

}  // namespace vhud
