// Which of the plug-in's patches the game and VHud hold now.
#include <string.h>

#include "standin/game_image.h"
#include "standin/vhud_wheel.h"
#include "standin/wine/game.h"

namespace game {

// A patch is in place where its jump, call or operand leads into the
// plug-in's image.
void ReportPatches() {
  uintptr_t low = reinterpret_cast<uintptr_t>(gPlugin);
  uintptr_t high = gPlugin != nullptr ? low + SizeOfImage(low) : 0;
  auto inside = [&](uint32_t address) { return address >= low && address < high; };
  auto leads = [&](uintptr_t site, uint8_t opcode) {
    uint32_t rel;
    memcpy(&rel, reinterpret_cast<const void*>(site + 1), 4);
    return GameByte(site) == opcode && inside(static_cast<uint32_t>(site + 5) + rel);
  };
  const uint32_t hook = leads(standin::kGameHudJump, 0xE9) ? 1 : 0;
  uint32_t staticSlot = 0;
  uint32_t spacing = 0;
  uint32_t centre = 0;
  if (gVhud.base != 0) {
    staticSlot = leads(gVhud.base + standin::kWheelRotateCall, 0xE8) ? 1 : 0;
    spacing = leads(gVhud.base + standin::kWheelSpacingSite + 3, 0xE9) ? 1 : 0;
    for (uint32_t i = 0; i < 6; ++i) {
      uint32_t operand;
      memcpy(&operand,
             reinterpret_cast<const void*>(gVhud.base + standin::kCentreTextSiteOffsets[i] + 4), 4);
      centre += inside(operand) ? 1 : 0;
    }
  }
  Json line = Event("patches");
  line["hud_hook"] = hook;
  line["static_slot"] = staticSlot;
  line["spacing"] = spacing;
  line["centre_text_sites"] = centre;
  line["in_place"] = hook + staticSlot + spacing + (centre == 6 ? 1 : 0);
  line["foreign_jumps_kept"] = ForeignJumpsKept();
  Emit(line);
}

}  // namespace game
