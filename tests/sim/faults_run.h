// The harness of the end-to-end fault tests: the plug-in attached to the
// stand-in game with VHud, the worker's first pass, frames on the game's
// thread, detach; what is patched, what changed and the log lines of a
// normal start.
//
// The worker is held at its first 500 ms sleep (the first sleep of its
// second phase) while the case runs frames and detaches, so that the number
// of passes, and with it the log, is the same on every run.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "hud/hud.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "standin/vhud_image.h"
#include "standin/vhud_wheel.h"
#include "state/plugin_state.h"
#include "test_code_bytes.h"
#include "test_values.h"
#include "wheel/wheel.h"

namespace faults {

using Lines = std::vector<std::string>;

inline const char* const kBoot[3] = {
    "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started",
    "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk",
    "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide + hide "
    "custom health/armour icons while wheel open"};
inline const char* const kWorkerStarted = "[THREAD] worker started";
inline const char* const kNotFound = "[ERR] VHud.asi not found";
inline const char* const kSpacingOk[2] = {
    "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
    "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
    "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8"};
inline const char* const kCentreOk[2] = {
    "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
    "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)"};
inline const char* const kStaticRefused = "[WHEEL][ERR] VirtualProtect failed";
inline const char* const kSpacingRefused =
    "[WHEEL][ERR] VirtualProtect failed for content-offset patch";
inline const char* const kCentreRefused =
    "[WHEEL][ERR] VirtualProtect failed for centre-text patch";
inline const char* const kHookRefused = "[ERR] VirtualProtect failed while installing hook";
inline const char* const kAllowed = "[STATE] drawing allowed";
inline const char* const kNoPlayer = "[STATE] hidden: player ped unavailable";
inline const char* const kMenu = "[STATE] hidden: menu active";
inline const char* const kStop = "[STOP] DLL detach";

using codebytes::BytesAt;
using codebytes::Rel;
using testvalues::Hex;

inline uint32_t Address(const void* p) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// ---- Holding the worker ------------------------------------------------------------------
// The worker stops at the start of a chosen sleep (its first 500 ms sleep,
// or its n-th sleep) until the case releases it.
struct Hold {
  std::mutex mutex;
  std::condition_variable cv;
  bool reached = false;
  bool released = false;
  uint32_t atCount = 0;    // 0: the first 500 ms sleep
  uint32_t heldCount = 0;  // the sleep number at which it stopped
};
inline Hold* gHold = nullptr;
inline std::atomic<uint32_t> gSleepsSeen{0};

inline void HoldingSleepHook(uint32_t count, uint32_t milliseconds) {
  gSleepsSeen.store(count);
  Hold* h = gHold;
  if (h == nullptr) return;
  std::unique_lock<std::mutex> lock(h->mutex);
  if (h->reached) return;
  bool here = h->atCount == 0 ? milliseconds == 500 : count == h->atCount;
  if (!here) return;
  h->reached = true;
  h->heldCount = count;
  h->cv.notify_all();
  h->cv.wait(lock, [h] { return h->released; });
}

// ---- The run -----------------------------------------------------------------------------------
class FaultRun {
 public:
  // A fresh process with the game and VHud (VHud in the loader list unless
  // `vhud` is false), an alive player and two usable icons.
  explicit FaultRun(bool vhud = true) {
    sim::Reset();
    world_ = standin::BuildWorld(vhud);
    health_ = static_cast<uint32_t>(standin::MakeTexture(32, 32));
    armour_ = static_cast<uint32_t>(standin::MakeTexture(32, 32));
    standin::SetLoadResults(health_, armour_);
    player_ = standin::MakePlayer(100.0f);
    standin::SetPlayer(player_);
    vhudBefore_ = Image();
    gameBefore_ = GameCode();
    gHold = &hold_;
    gSleepsSeen = 0;
    sim::SetSleepHook(&HoldingSleepHook);
    exports_ = sim::DefaultKernel32Exports();
  }
  ~FaultRun() {
    Release();
    sim::StopWorker();
    gHold = nullptr;
  }

  void Remove(const std::vector<std::string>& names) {
    std::vector<sim::Export> kept;
    for (const sim::Export& e : exports_) {
      bool drop = false;
      for (const std::string& n : names) drop = drop || e.name == n;
      if (!drop) kept.push_back(e);
    }
    exports_ = kept;
    sim::RebuildKernel32(exports_);
  }
  void Replace(const std::string& name, uintptr_t address) {
    for (sim::Export& e : exports_) {
      if (e.name == name) e.address = address;
    }
    sim::RebuildKernel32(exports_);
  }

  // Takes the images that ExpectOnlySitesChanged and Untouched compare with
  // again, after the case changed data in them.
  void Resnapshot() {
    vhudBefore_ = Image();
    gameBefore_ = GameCode();
  }
  void HoldAtSleep(uint32_t count) { hold_.atCount = count; }
  // Attaches and waits until the worker is held (when it runs at all).
  void Attach(bool expectWorker = true) {
    ASSERT_EQ(1, DllMain(nullptr, kDllProcessAttach, nullptr));
    if (!expectWorker) return;
    std::unique_lock<std::mutex> lock(hold_.mutex);
    ASSERT_TRUE(hold_.cv.wait_for(lock, std::chrono::seconds(20), [this] { return hold_.reached; }))
        << "the worker never reached the sleep it is held at";
  }
  void Release() {
    std::lock_guard<std::mutex> lock(hold_.mutex);
    hold_.released = true;
    hold_.cv.notify_all();
  }
  void Detach() { ASSERT_EQ(1, DllMain(nullptr, kDllProcessDetach, nullptr)); }
  // Releases the worker and expects it to end by itself without another
  // sleep: every sleep it makes before it ends is counted once it is joined.
  void ExpectWorkerEndsAfterRelease() {
    uint32_t held = hold_.heldCount;
    Release();
    sim::StopWorker();
    EXPECT_EQ(held, gSleepsSeen.load()) << "the worker slept again after the stop flag was set";
  }
  void Frames(int n) {
    for (int i = 0; i < n; ++i) standin::RunHudFrame();
  }

  std::vector<uint8_t> Image() const { return BytesAt(world_.vhudBase, world_.vhudSize); }
  static std::vector<uint8_t> GameCode() {
    std::vector<uint8_t> all;
    for (uint32_t i = 0; i < standin::kGameCodePageCount; ++i) {
      std::vector<uint8_t> page = BytesAt(standin::kGameCodePages[i], sim::kPageSize);
      all.insert(all.end(), page.begin(), page.end());
    }
    return all;
  }

  // Which of the nine sites hold the plug-in's bytes: bit 0 the static-slot
  // call, 1 the spacing site, 2..7 the centre-text operands, 8 the HUD jump.
  uint32_t Patched() const {
    uintptr_t b = world_.vhudBase;
    uint32_t bits = 0;
    if (BytesAt(b + 0x6CDA8, 5) == Rel(0xE8, b + 0x6CDA8, Address((void*)&StaticSlotRotate))) {
      bits |= 1;
    }
    std::vector<uint8_t> cave = {0x8B, 0x7A, 0x44};
    std::vector<uint8_t> jump = Rel(0xE9, b + 0x6BBDC, Address((void*)&SpacingCave));
    cave.insert(cave.end(), jump.begin(), jump.end());
    cave.push_back(0x90);
    if (BytesAt(b + 0x6BBD9, 9) == cave) bits |= 2;
    const float* targets[6] = {&gState.nameY,       &gState.centreTextX, &gState.countY,
                               &gState.centreTextX, &gState.arrowY,      &gState.centreTextX};
    for (int i = 0; i < 6; ++i) {
      uint32_t operand;
      memcpy(&operand, reinterpret_cast<const void*>(b + standin::kCentreTextSiteOffsets[i] + 4),
             4);
      if (operand == Address(targets[i])) bits |= 4u << i;
    }
    if (BytesAt(standin::kGameHudJump, 5) ==
        Rel(0xE9, standin::kGameHudJump, Address((void*)&HudFrameHook))) {
      bits |= 0x100;
    }
    return bits;
  }
  // Nothing but the plug-in's own bytes changed in VHud's image and in the
  // game's code pages.
  void ExpectOnlySitesChanged() const {
    std::vector<uint8_t> now = Image();
    uintptr_t b = world_.vhudBase;
    auto owned = [&](uint32_t off) {
      if (off > 0x6CDA8 && off < 0x6CDAD) return true;
      if (off >= 0x6BBDC && off < 0x6BBE2) return true;  // the jump and its filler
      for (uint32_t s : standin::kCentreTextSiteOffsets) {
        if (off >= s + 4 && off < s + 8) return true;
      }
      return false;
    };
    for (uint32_t i = 0; i < now.size(); ++i) {
      if (now[i] != vhudBefore_[i] && !owned(i)) {
        ADD_FAILURE() << "VHud byte at +" << Hex(i) << " changed";
        break;
      }
    }
    (void)b;
    std::vector<uint8_t> game = GameCode();
    for (uint32_t i = 0; i < game.size(); ++i) {
      uintptr_t at = standin::kGameCodePages[i / sim::kPageSize] + i % sim::kPageSize;
      if (game[i] != gameBefore_[i] &&
          !(at > standin::kGameHudJump && at < standin::kGameHudJumpEnd)) {
        ADD_FAILURE() << "game code byte at " << Hex(static_cast<uint32_t>(at)) << " changed";
        break;
      }
    }
  }
  bool Untouched() const { return Image() == vhudBefore_ && GameCode() == gameBefore_; }

  // The lines of a normal start: boot, worker, VHud, the wheel patches, the
  // hook.
  Lines StartLines() const {
    uintptr_t b = world_.vhudBase;
    return {kBoot[0],
            kBoot[1],
            kBoot[2],
            kWorkerStarted,
            "[OK] VHud.asi base=" + Hex(static_cast<uint32_t>(b)) + " size=0x0104A000",
            "[WHEEL][OK] static-slot patch installed; original RotateVertices=" +
                Hex(static_cast<uint32_t>(b + 0x50290)),
            kSpacingOk[0],
            kSpacingOk[1],
            kCentreOk[0],
            kCentreOk[1],
            HookLine()};
  }
  std::string HookLine() const {
    return "[HOOK] installed; original=" +
           Hex(static_cast<uint32_t>(standin::HudRoutineAddress(world_.vhudBase))) +
           " hook=" + Hex(Address((void*)&HudFrameHook));
  }
  // What three frames with a living player and usable icons write.
  Lines FrameLines() const {
    return {"[INFO] player pointer changed -> " + Hex(static_cast<uint32_t>(player_)), kAllowed,
            "[LOAD] health=" + Hex(health_) + " armour=" + Hex(armour_),
            "[DRAW] first successful draw health=" + Hex(health_) + " armour=" + Hex(armour_)};
  }

  standin::World world_{};
  uint32_t health_ = 0, armour_ = 0;
  uintptr_t player_ = 0;

 private:
  std::vector<uint8_t> vhudBefore_, gameBefore_;
  Hold hold_;
  std::vector<sim::Export> exports_;
};

inline Lines Join(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Lines LogLines() {
  bool crlf = false;
  Lines lines = sim::LogLines(&crlf);
  EXPECT_TRUE(crlf) << "a line did not end in CR LF";
  return lines;
}

inline bool LogExists() {
  struct stat st;
  return stat((sim::WorkDir() + "/Quorvel_Icons.log").c_str(), &st) == 0;
}

inline constexpr uint32_t kAllSites = 0x1FF;

}  // namespace faults
