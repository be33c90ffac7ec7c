// The stand-in game and VHud inside the simulated process (simulation only):
// mapping, building and protecting both images, and records that tests hand
// to the plug-in (textures, rasters, player records).
#pragma once

#include <stdint.h>

namespace standin {

struct World {
  uintptr_t vhudBase;
  uint32_t vhudSize;
};

// Maps the game's range at its fixed addresses and a 64 KiB aligned VHud
// image of kVhudSizeOfImage bytes (both once per process, rebuilt on every
// call), builds both with the HUD jump leading to VHud's HUD routine, makes
// their code pages execute-read, and, when addModule is set, appends
// "VHud.asi" to the loader list. Call after sim::Reset().
World BuildWorld(bool addModule = true, uintptr_t vhudAt = 0);

// A 64 KiB aligned VHud base below the test program's image at which the
// slot-spacing patch's jump (to SpacingCave) holds EB 04 in the two high
// bytes of its displacement. A thread that has run VHud's first replaced
// instruction when the patch lands resumes at site + 3, inside the
// displacement; at this base it finds a short jump to the resume point there
// (EDI loaded, ECX not set, nothing moved) instead of arbitrary bytes, so
// that tests which patch the site under a running wheel can classify it.
uintptr_t VhudBaseForSpacingResume();

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
