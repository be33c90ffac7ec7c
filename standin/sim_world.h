// The stand-in game and VHud inside the simulated process (simulation only):
// mapping, building and protecting both images, and records that tests hand
// to the plug-in (textures, rasters, player records).
#pragma once

#include <stdint.h>

#include <ostream>

namespace standin {

struct World {
  uintptr_t vhudBase;
  uint32_t vhudSize;
};

// Maps the game's range at its fixed addresses and a 64 KiB aligned VHud
// image of kVhudSizeOfImage bytes (both once per process, rebuilt on every
// call), builds both with the HUD jump leading to VHud's HUD routine, makes
// their code pages execute-read, and, when addModule is set, appends
// "VHud.asi" to the loader list. With `vhudAt`, the image is mapped there
// instead (aborting if anything lies there already). Call after sim::Reset().
World BuildWorld(bool addModule = true, uintptr_t vhudAt = 0);

// Where tests place VHud to patch the slot-spacing site under a running
// wheel. Each base is 64 KiB aligned and chosen by what a 5-byte jump to
// SpacingCave written at the site's first byte (where earlier builds of the
// plug-in put it) would hold at site + 3 and site + 4, the high half of its
// displacement: the bytes a thread that had run VHud's first instruction
// when such a jump landed would have run next. The in-place patch lets no
// thread resume there, so every placement must behave alike. The four
// images lie apart, so that one process can map them all.
struct SpacingPlacement {
  const char* name;
  uint8_t atPlus3, atPlus4;  // as the earlier jump's bytes would decode there
};
constexpr SpacingPlacement kSpacingPlacements[] = {
    {"Ud2", 0x0F, 0x0B},         // invalid instruction
    {"FarJump", 0xEA, 0x06},     // JMP ptr16:32, a far jump
    {"ShortJump", 0xEB, 0x04},   // to site + 9, ECX not set
    {"StrayStore", 0x89, 0x02},  // MOV [EDX], EAX into VHud's record
};
uintptr_t VhudBaseFor(const SpacingPlacement& placement);
// Test names show a placement by its name.
inline void PrintTo(const SpacingPlacement& placement, std::ostream* out) {
  *out << placement.name;
}

// Texture record (8 readable bytes, word 0 = raster) with a raster of 24
// bytes holding the given width and height.
uintptr_t MakeTexture(int32_t width, int32_t height);
// Texture record pointing at the given raster address.
uintptr_t MakeTextureWithRaster(uintptr_t raster);
// The start of a committed page that cannot be read.
uintptr_t MakeUnreadable();
// A player character record of 1348 bytes with the health at 1344.
uintptr_t MakePlayer(float health);
// A player record whose first `readable` bytes lie in readable memory and
// whose next byte is the first byte of a no-access page.
uintptr_t MakePlayerAtEdge(float health, uint32_t readable);

}  // namespace standin
