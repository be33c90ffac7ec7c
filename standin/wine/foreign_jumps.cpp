// Another wheel mod's detours at VHud's centre-text sites, placed before the
// plug-in looks: at five of the six sites a 5-byte E9 to code of its own, in
// memory of its own (outside VHud and outside the plug-in), which runs VHud's
// instruction and jumps back past it. The sixth site stays VHud's.
#include <string.h>

#include "standin/vhud_wheel.h"
#include "standin/wine/game.h"

namespace game {
namespace {

constexpr uint32_t kDetoured = 5;  // the first five sites, in VHud's order
uint8_t gJumps[kDetoured][5];      // what each site holds since

void PutRel(uint8_t* at, uint8_t opcode, uintptr_t from, uintptr_t target) {
  const uint32_t displacement = static_cast<uint32_t>(target) - static_cast<uint32_t>(from + 5);
  at[0] = opcode;
  memcpy(at + 1, &displacement, 4);
}

}  // namespace

void PlaceForeignJumps() {
  if (gVhud.base == 0) {
    Fail(kExitUsage, "foreign-jumps: VHud is not loaded");
  }
  uint8_t* own = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 0x1000, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  if (own == nullptr) {
    Fail(kExitImage, "foreign-jumps: VirtualAlloc failed");
  }
  Json line = Event("foreign_jumps");
  line["code"] = Hex(reinterpret_cast<uintptr_t>(own));
  Json& sites = line["sites"] = Json::array();
  for (uint32_t i = 0; i < kDetoured; ++i) {
    const uintptr_t site = gVhud.base + standin::kCentreTextSiteOffsets[i];
    // VHud's 8-byte instruction (its operand an absolute address), then a
    // jump back to the instruction after it.
    uint8_t* detour = own + 16 * i;
    memcpy(detour, reinterpret_cast<const void*>(site), 8);
    PutRel(detour + 8, 0xE9, reinterpret_cast<uintptr_t>(detour + 8), site + 8);
    PutRel(gJumps[i], 0xE9, site, reinterpret_cast<uintptr_t>(detour));
    DWORD old = 0;
    if (!VirtualProtect(reinterpret_cast<void*>(site), 5, PAGE_EXECUTE_READWRITE, &old)) {
      Fail(kExitImage, "foreign-jumps: VirtualProtect failed");
    }
    memcpy(reinterpret_cast<void*>(site), gJumps[i], 5);
    DWORD ignored = 0;
    VirtualProtect(reinterpret_cast<void*>(site), 5, old, &ignored);
    sites.push_back(kCentreTextSiteNames[i]);
  }
  FlushInstructionCache(GetCurrentProcess(), nullptr, 0);
  Emit(line);
}

uint32_t ForeignJumpsKept() {
  uint32_t kept = 0;
  for (uint32_t i = 0; i < kDetoured && gVhud.base != 0; ++i) {
    const void* site =
        reinterpret_cast<const void*>(gVhud.base + standin::kCentreTextSiteOffsets[i]);
    kept += memcmp(site, gJumps[i], 5) == 0 ? 1 : 0;
  }
  return kept;
}

}  // namespace game
