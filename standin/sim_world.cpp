#include "sim_world.h"

#include <string.h>

#include "game_image.h"
#include "sim/sim.h"
#include "vhud_image.h"
#include "wheel/wheel.h"

namespace standin {
namespace {

uintptr_t gVhudImage = 0;

void MakeGameCodeExecutable() {
  for (uint32_t i = 0; i < kGameCodePageCount; ++i) {
    sim::SetProtect(kGameCodePages[i], sim::kPageSize, sim::kPageExecuteRead);
  }
}

}  // namespace

World BuildWorld(bool addModule, uintptr_t vhudAt) {
  sim::MapFixed(kGameLow, static_cast<uint32_t>(kGameHigh - kGameLow), sim::kPageReadWrite);
  if (vhudAt != 0) {
    sim::MapFixed(vhudAt, kVhudSizeOfImage, sim::kPageReadWrite);
    gVhudImage = vhudAt;
  } else if (gVhudImage == 0 || sim::StateOf(gVhudImage) != sim::kMemCommit) {
    gVhudImage = sim::MapAnywhere(kVhudSizeOfImage, 0x10000, sim::kPageReadWrite);
  } else {
    sim::SetProtect(gVhudImage, kVhudSizeOfImage, sim::kPageReadWrite);
  }
  BuildVhudImage(gVhudImage, kVhudSizeOfImage);
  BuildGameImage(HudRoutineAddress(gVhudImage));
  MakeGameCodeExecutable();
  sim::SetProtect(gVhudImage, kVhudCodeBegin, sim::kPageReadOnly);
  sim::SetProtect(gVhudImage + kVhudCodeBegin, kVhudCodeEnd - kVhudCodeBegin,
                  sim::kPageExecuteRead);
  if (addModule) {
    sim::AddModule("VHud.asi", gVhudImage);
  }
  return World{gVhudImage, kVhudSizeOfImage};
}

uintptr_t MakeTextureWithRaster(uintptr_t raster) {
  auto* texture = static_cast<uint32_t*>(sim::Allocate(8));
  texture[0] = static_cast<uint32_t>(raster);
  return reinterpret_cast<uintptr_t>(texture);
}

uintptr_t MakeTexture(int32_t width, int32_t height) {
  auto* raster = static_cast<int32_t*>(sim::Allocate(24));
  raster[3] = width;
  raster[4] = height;
  return MakeTextureWithRaster(reinterpret_cast<uintptr_t>(raster));
}

uintptr_t MakeUnreadable() {
  uintptr_t page = sim::MapAnywhere(sim::kPageSize, sim::kPageSize, sim::kPageReadWrite);
  sim::SetProtect(page, sim::kPageSize, sim::kPageNoAccess);
  return page;
}

uintptr_t MakePlayer(float health) {
  auto* record = static_cast<uint8_t*>(sim::Allocate(1348));
  memcpy(record + 1344, &health, 4);
  return reinterpret_cast<uintptr_t>(record);
}

uintptr_t MakePlayerAtEdge(float health, uint32_t readable) {
  uintptr_t pages = sim::MapAnywhere(2 * sim::kPageSize, sim::kPageSize, sim::kPageReadWrite);
  uintptr_t record = pages + sim::kPageSize - readable;
  if (readable >= 1348) {
    memcpy(reinterpret_cast<void*>(record + 1344), &health, 4);
  }
  sim::SetProtect(pages + sim::kPageSize, sim::kPageSize, sim::kPageNoAccess);
  return record;
}

uintptr_t VhudBaseFor(const SpacingPlacement& placement) {
  // The earlier jump counted from site + 5 = base + 0x6BBDE; its two high
  // bytes are chosen, its two low ones follow from a 64 KiB aligned base.
  uint32_t cave = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&SpacingCave));
  uint32_t high = (static_cast<uint32_t>(placement.atPlus4) << 24) |
                  (static_cast<uint32_t>(placement.atPlus3) << 16);
  return cave - 0x6BBDEu - (high | ((cave - 0x6BBDEu) & 0xFFFFu));
}

}  // namespace standin
