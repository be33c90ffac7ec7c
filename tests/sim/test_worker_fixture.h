// The worker tests' world: a VHud image with or without the known sites,
// the game's memory around the HUD jump, the lines and VirtualProtect sites
// of a pass, and a fixture that runs the worker for a number of sleeps.
#pragma once

#include <string.h>

#include <string>
#include <vector>

#include "core_support.h"
#include "hud/hud.h"
#include "platform/platform.h"
#include "wheel/wheel.h"

namespace worker_test {

using core::Hex;

inline constexpr uint32_t kVhudSize = 0x104A000;
inline constexpr uintptr_t kGameBase = 0x56E000;
inline constexpr uintptr_t kGameEnd = 0xC18000;
inline constexpr uintptr_t kHudJump = 0x58FAE0;
inline constexpr uint32_t kVhudHudRoutine = 0x12340;  // where the game's HUD jump leads in VHud

inline constexpr uint32_t kRotateCall = 0x6CDA8;
inline constexpr uint32_t kRotateVertices = 0x50290;
inline constexpr uint32_t kSpacingSite = 0x6BBD9;
struct OperandSite {
  uint32_t offset;
  uint8_t operation;
};
inline constexpr OperandSite kOperandSites[6] = {{0x6C49F, 0x5C}, {0x6C4CE, 0x58}, {0x6C55F, 0x5C},
                                                 {0x6C590, 0x58}, {0x6C65F, 0x5C}, {0x6C8A1, 0x58}};
inline const uint8_t kSpacingBytes[9] = {0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF};

inline const char* const kStaticNoCall =
    "[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped";
inline const char* const kSpacingMismatch =
    "[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped";
inline const char* const kCentreMismatch = "[WHEEL][ERR] centre-text signature mismatch at name-y";
inline const char* const kStaticProtectFailed = "[WHEEL][ERR] VirtualProtect failed";
inline const char* const kSpacingProtectFailed =
    "[WHEEL][ERR] VirtualProtect failed for content-offset patch";
inline const char* const kCentreProtectFailed =
    "[WHEEL][ERR] VirtualProtect failed for centre-text patch";
inline const char* const kHookProtectFailed = "[ERR] VirtualProtect failed while installing hook";

inline void Put8(uintptr_t at, uint8_t v) { *reinterpret_cast<uint8_t*>(at) = v; }
inline void Put32(uintptr_t at, uint32_t v) { memcpy(reinterpret_cast<void*>(at), &v, 4); }
inline uint32_t Get32(uintptr_t at) {
  uint32_t v;
  memcpy(&v, reinterpret_cast<const void*>(at), 4);
  return v;
}
inline void PutBranch(uintptr_t site, uint8_t opcode, uintptr_t target) {
  Put8(site, opcode);
  Put32(site + 1, RelativeDisplacement(site, target));
}

inline uintptr_t HookAddress() { return reinterpret_cast<uintptr_t>(&HudFrameHook); }

// A PE image of VHud's size: with no sites (zeros, another build), with
// VHud's original bytes at the static-slot call, the spacing site and the
// six centre-text operands, or with those and one byte off at the call's
// opcode, the spacing site and each centre-text opcode (30 of the 38 bytes
// the build is known by: still the known build, every installer refusing).
enum class Sites { None, Original, OneByteOff };
inline uintptr_t BuildVhud(Sites sites) {
  uintptr_t base = sim::BuildImage({}, kVhudSize);
  if (sites != Sites::None) {
    PutBranch(base + kRotateCall, 0xE8, base + kRotateVertices);
    memcpy(reinterpret_cast<void*>(base + kSpacingSite), kSpacingBytes, 9);
    for (const OperandSite& s : kOperandSites) {
      const uint8_t head[4] = {0xF3, 0x0F, s.operation, 0x05};
      memcpy(reinterpret_cast<void*>(base + s.offset), head, 4);
      Put32(base + s.offset + 4, 0x00C0FFEE);
    }
  }
  if (sites == Sites::OneByteOff) {
    Put8(base + kRotateCall, 0xE9);
    Put8(base + kSpacingSite + 8, 0xFE);
    for (const OperandSite& s : kOperandSites) Put8(base + s.offset, 0xF2);
  }
  return base;
}

// A module whose first bytes are no PE header: e_lfanew 0 points at a zero
// signature.
inline uintptr_t BuildNonPeModule() { return sim::MapAnywhere(0x2000, 0x10000); }

// The game's memory, zero-filled; with `jump`, the HUD jump leads into VHud.
inline void MapGame(uintptr_t vhudBase, bool jump) {
  sim::MapFixed(kGameBase, kGameEnd - kGameBase);
  if (jump) PutBranch(kHudJump, 0xE9, vhudBase + kVhudHudRoutine);
}

inline std::string BaseLine(uintptr_t base, uint32_t size) {
  return "[OK] VHud.asi base=" + Hex(base) + " size=" + Hex(size);
}

inline std::vector<std::string> SuccessLines(uintptr_t base) {
  return {
      BaseLine(base, kVhudSize),
      "[WHEEL][OK] static-slot patch installed; original RotateVertices=" +
          Hex(base + kRotateVertices),
      "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
      "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
      "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
      "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
      "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)",
      "[HOOK] installed; original=" + Hex(base + kVhudHudRoutine) + " hook=" + Hex(HookAddress()),
  };
}

// The lifting VirtualProtect sites of one pass, in installer order.
inline std::vector<uintptr_t> FirstPhaseSites(uintptr_t base) {
  std::vector<uintptr_t> sites = {base + kRotateCall, base + kSpacingSite};
  for (const OperandSite& s : kOperandSites) sites.push_back(base + s.offset);
  sites.push_back(kHudJump);
  return sites;
}
inline std::vector<uintptr_t> SecondPhaseSites(uintptr_t base) {
  std::vector<uintptr_t> sites = FirstPhaseSites(base);
  sites.pop_back();
  sites.insert(sites.begin(), kHudJump);
  return sites;
}

inline std::vector<uint32_t> Sleeps(uint32_t fast, uint32_t slow) {
  std::vector<uint32_t> sleeps(fast, 100);
  sleeps.insert(sleeps.end(), slow, 500);
  return sleeps;
}

class WorkerTest : public core::SimTest {
 protected:
  // Attaches, lets the worker run until it has made `sleeps` Sleep calls
  // (the steering action must set the stop flag on the last), and joins it.
  void RunUntil(uint32_t sleeps) {
    ASSERT_EQ(core::Attach(), 1);
    ASSERT_TRUE(sim::WaitForSleeps(sleeps, 20000));
    sim::StopWorker();
    EXPECT_EQ(sim::Record().sleeps.size(), sleeps);
  }
  static std::vector<std::string> Lines() {
    bool crlf = false;
    std::vector<std::string> lines = sim::LogLines(&crlf);
    EXPECT_TRUE(crlf);
    return lines;
  }
};

// ---- VHud never found ------------------------------------------------------------------

}  // namespace worker_test
