// The host game's memory and routines at their fixed addresses, and VHud's
// items at fixed offsets from its load address.
#pragma once

#include <stdint.h>

#include "entry/plugin_state.h"

namespace host {

// Game code and data.
constexpr uintptr_t kHudJump = 0x58FAE0;
constexpr uintptr_t kHudJumpEnd = 0x58FAE5;
constexpr uintptr_t kMenuActive = 0xBA67A4;
constexpr uintptr_t kGameFrozen = 0xB7CB49;
constexpr uintptr_t kWantsToDrawHud = 0xBAA45D;
constexpr uintptr_t kWidescreenCinematic = 0xB6F065;
constexpr uintptr_t kCutsceneRunning = 0xB5F851;
constexpr uintptr_t kQueryPlayerPed = 0x56E210;
constexpr uintptr_t kScreenWidth = 0xC17044;
constexpr uintptr_t kScreenHeight = 0xC17048;
constexpr uintptr_t kDrawSprite = 0x7282C0;

// Player character record: health at 1344, 1348 bytes readable.
constexpr uint32_t kPlayerRecordSize = 1348;
constexpr uint32_t kPlayerHealthOffset = 1344;
// Texture record: raster pointer at 0; raster: width 12, height 16.
constexpr uint32_t kTextureReadable = 8;
constexpr uint32_t kRasterReadable = 24;
constexpr uint32_t kRasterWidthOffset = 12;
constexpr uint32_t kRasterHeightOffset = 16;

typedef uintptr_t(QI_CDECL* QueryPlayerPedFn)(int32_t index);
typedef void(QI_THISCALL* DrawSpriteFn)(IconSlot* sprite, float x, float y, float width,
                                        float height, const uint8_t* colour);

}  // namespace host

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

typedef uintptr_t(QI_CDECL* LoadSpriteFn)(const char* folder, const char* name);
struct WheelQuad {
  float x0, y0, x1, y1, x2, y2, x3, y3;
};
typedef void(QI_CDECL* RotateVerticesFn)(WheelQuad* quad, float centreX, float centreY,
                                         float angle);

}  // namespace vhud

// Plain reads and writes of foreign memory, one access each.
inline uint8_t ReadByte(uintptr_t address) {
  return *reinterpret_cast<volatile const uint8_t*>(address);
}
inline uint32_t ReadWord(uintptr_t address) {
  return *reinterpret_cast<volatile const uint32_t*>(address);
}
inline int32_t ReadInt(uintptr_t address) {
  return *reinterpret_cast<volatile const int32_t*>(address);
}
inline float ReadFloat(uintptr_t address) {
  return *reinterpret_cast<volatile const float*>(address);
}
inline void CopyForeign(uint8_t* to, uintptr_t from, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    to[i] = ReadByte(from + i);
  }
}
inline void WriteByte(uintptr_t address, uint8_t value) {
  *reinterpret_cast<volatile uint8_t*>(address) = value;
}
