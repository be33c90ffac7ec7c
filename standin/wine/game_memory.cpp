// The game's memory: the executable's image covers the game's fixed range,
// in its leading zero-filled section; the game's code and data are built
// there and read back directly.
#include <string.h>

#include "standin/game_image.h"
#include "standin/wine/game.h"

extern "C" char gGameMemBegin[];
extern "C" char gGameMemEnd[];

namespace game {
namespace {

uint32_t gOwnHudRuns = 0;

// The game's own HUD routine, the jump's target while no VHud is loaded.
extern "C" __attribute__((cdecl, used)) void GameOwnHudRoutine() { ++gOwnHudRuns; }

int32_t ScreenWord(uintptr_t address) {
  return *reinterpret_cast<const volatile int32_t*>(address);
}

}  // namespace

uintptr_t OwnHudRoutine() { return reinterpret_cast<uintptr_t>(&GameOwnHudRoutine); }

uint32_t OwnHudRuns() { return gOwnHudRuns; }

uint32_t HudJumpTarget() {
  uint32_t rel;
  memcpy(&rel, reinterpret_cast<const void*>(standin::kGameHudJump + 1), 4);
  return static_cast<uint32_t>(standin::kGameHudJumpEnd) + rel;
}

uint32_t SizeOfImage(uintptr_t base) {
  uint32_t lfanew = *reinterpret_cast<const uint32_t*>(base + 0x3C);
  return *reinterpret_cast<const uint32_t*>(base + lfanew + 0x50);
}

uint8_t GameByte(uintptr_t address) { return *reinterpret_cast<const volatile uint8_t*>(address); }

Json Screen() {
  return {ScreenWord(standin::kGameScreenWidth), ScreenWord(standin::kGameScreenHeight)};
}

// The game's range must lie inside this executable's own image, in its
// leading zero-filled section; anything else means the link went wrong.
void CheckOwnImage() {
  uintptr_t self = reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr));
  if (self != kImageBase) {
    Fail(kExitImage, "the executable is not mapped at 0x400000");
  }
  if (reinterpret_cast<uintptr_t>(gGameMemBegin) > standin::kGameLow ||
      reinterpret_cast<uintptr_t>(gGameMemEnd) < standin::kGameHigh) {
    Fail(kExitImage, "the game memory section does not cover 0x56E000..0xC18000");
  }
  if (kImageBase + SizeOfImage(kImageBase) < standin::kGameHigh) {
    Fail(kExitImage, "SizeOfImage does not reach 0xC18000");
  }
  MEMORY_BASIC_INFORMATION low;
  MEMORY_BASIC_INFORMATION high;
  if (VirtualQuery(reinterpret_cast<void*>(standin::kGameLow), &low, sizeof(low)) == 0 ||
      VirtualQuery(reinterpret_cast<void*>(standin::kGameHigh - 1), &high, sizeof(high)) == 0 ||
      reinterpret_cast<uintptr_t>(low.AllocationBase) != kImageBase ||
      reinterpret_cast<uintptr_t>(high.AllocationBase) != kImageBase || low.Type != MEM_IMAGE ||
      high.Type != MEM_IMAGE) {
    Fail(kExitImage, "0x56E000..0xC18000 is not part of the executable's image");
  }
}

void BuildGame(int32_t width, int32_t height) {
  DWORD old = 0;
  if (!VirtualProtect(reinterpret_cast<void*>(standin::kGameLow),
                      standin::kGameHigh - standin::kGameLow, PAGE_EXECUTE_READWRITE, &old)) {
    Fail(kExitImage, "VirtualProtect of the game range failed");
  }
  standin::BuildGameImage(OwnHudRoutine());
  standin::SetScreen(width, height);
  for (uint32_t i = 0; i < standin::kGameCodePageCount; ++i) {
    if (!VirtualProtect(reinterpret_cast<void*>(standin::kGameCodePages[i]), 0x1000,
                        PAGE_EXECUTE_READ, &old)) {
      Fail(kExitImage, "VirtualProtect of a game code page failed");
    }
  }
  FlushInstructionCache(GetCurrentProcess(), reinterpret_cast<void*>(standin::kGameLow),
                        standin::kGameHigh - standin::kGameLow);
  Json line = Event("game");
  line["image_base"] = Hex(kImageBase);
  line["size_of_image"] = Hex(SizeOfImage(kImageBase));
  line["hud_jump_target"] = Hex(HudJumpTarget());
  line["own_hud_routine"] = Hex(OwnHudRoutine());
  line["screen"] = Screen();
  Emit(line);
}

}  // namespace game
