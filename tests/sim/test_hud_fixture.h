// Shared set-up of the HUD frame tests: the stand-in game and VHud mapped and
// built, the log open, VHud's base and size known to the plug-in.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "hud/hud.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "standin/vhud_image.h"
#include "state/plugin_state.h"
#include "test_values.h"
#include "worker/worker.h"

namespace hudtest {

using testvalues::Bits;
using testvalues::FloatOf;
using testvalues::Hex;

inline uint32_t HookAddress() {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&HudFrameHook));
}

// The five bytes at the HUD jump.
inline std::vector<uint8_t> JumpBytes() {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(standin::kGameHudJump);
  return std::vector<uint8_t>(p, p + 5);
}

inline std::vector<uint8_t> JumpTo(uint32_t target) {
  uint32_t d = target - static_cast<uint32_t>(standin::kGameHudJumpEnd);
  return {0xE9, static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8),
          static_cast<uint8_t>(d >> 16), static_cast<uint8_t>(d >> 24)};
}

// Rewrites code the way another party would: lifts the page's protection,
// writes, puts execute-read back.
inline void PokeCode(uintptr_t address, const std::vector<uint8_t>& bytes) {
  uintptr_t page = address & ~static_cast<uintptr_t>(sim::kPageSize - 1);
  uint32_t span = static_cast<uint32_t>(address + bytes.size() - page);
  sim::SetProtect(page, span, sim::kPageReadWrite);
  memcpy(reinterpret_cast<void*>(address), bytes.data(), bytes.size());
  sim::SetProtect(page, span, sim::kPageExecuteRead);
}

inline void SetJumpTarget(uint32_t target) { PokeCode(standin::kGameHudJump, JumpTo(target)); }

class HudTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    world_ = standin::BuildWorld(/*addModule=*/true);
    ASSERT_TRUE(sim::OpenLogOnly());
    gState.vhudBase = world_.vhudBase;
    gState.vhudSize = world_.vhudSize;
    mark_ = 0;
  }

  void TearDown() override {
    sim::StopWorker();
    // Every frame of every test returned with the caller's stack pointer and
    // callee-saved registers as they were.
    EXPECT_EQ(standin::GameRecord()->framesUnbalanced, 0u)
        << "last fault bits " << standin::GameRecord()->lastFrameFault;
    bool crlf = false;
    sim::LogLines(&crlf);
    EXPECT_TRUE(crlf) << "a log line did not end in CR LF";
  }

  uintptr_t Vhud() const { return world_.vhudBase; }
  uint32_t HudRoutine() const { return static_cast<uint32_t>(standin::HudRoutineAddress(Vhud())); }

  // Installs the hook directly and starts the log check after its line.
  void Hook() {
    ASSERT_EQ(InstallHudHook(), 1);
    Mark();
  }

  // Log lines written since the last Mark().
  void Mark() { mark_ = sim::LogLines().size(); }
  std::vector<std::string> NewLines() {
    std::vector<std::string> all = sim::LogLines();
    std::vector<std::string> out(all.begin() + static_cast<long>(std::min(mark_, all.size())),
                                 all.end());
    return out;
  }
  std::vector<std::string> TakeLines() {
    std::vector<std::string> out = NewLines();
    Mark();
    return out;
  }

  void Frames(int count) {
    for (int i = 0; i < count; ++i) standin::RunHudFrame();
  }

  standin::World world_{};
  size_t mark_ = 0;
};

// The hook in place, a living player and two usable icons for VHud's loader
// to hand out.
class HookedPlayerTest : public HudTest {
 protected:
  void SetUp() override {
    HudTest::SetUp();
    health_ = standin::MakeTexture(64, 64);
    armour_ = standin::MakeTexture(64, 64);
    standin::SetLoadResults(static_cast<uint32_t>(health_), static_cast<uint32_t>(armour_));
    player_ = standin::MakePlayer(100.0f);
    standin::SetPlayer(player_);
    Hook();
  }

  uintptr_t health_ = 0;
  uintptr_t armour_ = 0;
  uintptr_t player_ = 0;
};

using Lines = std::vector<std::string>;

// " health=0x... armour=0x...", as the [LOAD] and [DRAW] lines end.
inline std::string Pointers(uintptr_t health, uintptr_t armour) {
  return " health=" + Hex(static_cast<uint32_t>(health)) +
         " armour=" + Hex(static_cast<uint32_t>(armour));
}

// The icon tests: the hook in place and a living player; the icons are up to
// each test.
class HudIconTest : public HudTest {
 protected:
  void SetUp() override {
    HudTest::SetUp();
    player_ = standin::MakePlayer(100.0f);
    standin::SetPlayer(player_);
    Hook();
  }

  uint32_t Loads() const { return standin::VhudRecord()->loadCalls; }
  uint32_t Draws() const { return standin::GameRecord()->drawCalls; }
  const standin::DrawRecord& Draw(uint32_t i) const { return standin::GameRecord()->draws[i]; }

  uintptr_t player_ = 0;
};

}  // namespace hudtest
