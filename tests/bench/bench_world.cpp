// The bench's world: the stand-in game and VHud in the simulated process
// with the plug-in's patches in place, set up for each kind of frame.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../sim/test_code_bytes.h"
#include "bench.h"
#include "hud/hud.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "standin/vhud_image.h"
#include "standin/vhud_wheel.h"
#include "wheel/wheel.h"
#include "worker/worker.h"

namespace bench {

// Commit ce078c6 asked VirtualQuery once for every range a frame read. Now
// a frame asks once per region: VHud's image (the wheel byte), the page of
// the radar byte (wheel open only), and the simulated heap from the player
// record's page on, which holds the textures and rasters too. The instant
// stand-in describes everything from a page up as one region: one question.
const FrameKind kFrameKinds[kFrameKindCount] = {
    {"direct", 0, 0},  {"steady", 12, 2}, {"steady-stubquery", 12, 1}, {"wheel-direct", 0, 0},
    {"wheel", 4, 3},   {"hidden1", 2, 1}, {"hidden2", 2, 1},           {"hidden3", 2, 1},
    {"hidden4", 2, 1}, {"hidden5", 2, 1}, {"hidden6", 2, 1},           {"hidden7", 3, 2},
};

namespace {

uint32_t gInstantQueries = 0;

using codebytes::BytesAt;
using codebytes::Poke;

// A VirtualQuery that answers at once: every address lies in a committed,
// read-write region that ends at 0xFFFFF000.
uint32_t QI_STDCALL InstantQuery(const void* address, MemoryBasicInformation* info, uint32_t) {
  ++gInstantQueries;
  uintptr_t page = reinterpret_cast<uintptr_t>(address) & ~uintptr_t{0xFFF};
  info->baseAddress = page;
  info->allocationBase = page;
  info->allocationProtect = 0x04;
  info->regionSize = static_cast<uint32_t>(0xFFFFF000u - page);
  info->state = 0x1000;
  info->protect = 0x04;
  info->type = 0x20000;
  return sizeof(MemoryBasicInformation);
}

World gWorld;
bool gBuilt = false;

}  // namespace

uint32_t QueriesSoFar() { return sim::Record().virtualQuery + gInstantQueries; }

void World::Build() {
  sim::Reset();
  standin::World world = standin::BuildWorld(false);
  base_ = world.vhudBase;
  if (!sim::OpenLogOnly()) abort();
  gState.vhudBase = base_;
  gState.vhudSize = world.vhudSize;
  health_ = static_cast<uint32_t>(standin::MakeTexture(64, 64));
  armour_ = static_cast<uint32_t>(standin::MakeTexture(64, 64));
  standin::SetLoadResults(health_, armour_);
  alive_ = standin::MakePlayer(100.0f);
  dead_ = standin::MakePlayer(0.0f);
  standin::SetPlayer(alive_);
  // The sites as VHud has them, then as the plug-in leaves them.
  std::vector<std::pair<uintptr_t, uint32_t>> where = {{base_ + 0x6CDA8, 5}, {base_ + 0x6BBD9, 9}};
  for (uint32_t off : standin::kCentreTextSiteOffsets) where.push_back({base_ + off, 8});
  where.push_back({standin::kGameHudJump, 5});
  for (auto& w : where) sites_.push_back(Site{w.first, BytesAt(w.first, w.second), {}});
  InstallStaticSlotPatch();
  InstallSpacingPatch();
  InstallCentreTextPatch();
  if (InstallHudHook() != 1) abort();
  for (Site& s : sites_) s.patched = BytesAt(s.at, static_cast<uint32_t>(s.original.size()));
  query_ = gState.api.virtualQuery;
}

bool World::Configure(const std::string& kind) {
  bool plugin = kind != "direct" && kind != "wheel-direct";
  for (Site& s : sites_) Poke(s.at, plugin ? s.patched : s.original);
  gState.api.virtualQuery = kind == "steady-stubquery" ? &InstantQuery : query_;
  standin::SetMenuActive(0);
  standin::SetGameFrozen(0);
  standin::SetWantsToDrawHud(1);
  standin::SetWidescreen(0);
  standin::SetCutscene(0);
  standin::SetPlayer(alive_);
  standin::SetWheelOpen(base_, kind == "wheel" || kind == "wheel-direct" ? 1 : 0);
  standin::SetRadarEnabled(base_, 1);
  if (kind.rfind("hidden", 0) == 0) {
    int state = kind[6] - '0';
    if (state == 1) standin::SetMenuActive(1);
    if (state == 2) standin::SetGameFrozen(1);
    if (state == 3) standin::SetWantsToDrawHud(0);
    if (state == 4) standin::SetWidescreen(1);
    if (state == 5) standin::SetCutscene(1);
    if (state == 6) standin::SetPlayer(0);
    if (state == 7) standin::SetPlayer(dead_);
  } else if (kind != "direct" && kind != "steady" && kind != "steady-stubquery" &&
             kind != "wheel" && kind != "wheel-direct") {
    return false;
  }
  for (int i = 0; i < 3; ++i) Frame();
  // The frame does what this kind is meant to measure.
  uint32_t draws = standin::GameRecord()->drawCalls;
  uint32_t runs = standin::VhudRecord()->hudRuns;
  uint32_t wheels = standin::VhudWheelRecord()->runs;
  standin::RunHudFrame();
  bool steady = kind == "steady" || kind == "steady-stubquery";
  int32_t state = kind.rfind("hidden", 0) == 0 ? kind[6] - '0' : 0;
  bool ok = standin::GameRecord()->drawCalls - draws == (steady ? 2u : 0u) &&
            standin::VhudRecord()->hudRuns == runs + 1 &&
            standin::VhudWheelRecord()->runs - wheels == (kind.rfind("wheel", 0) == 0 ? 1u : 0u) &&
            (!plugin || gState.lastLoggedState == state);
  if (!ok) {
    fprintf(stderr, "qi_bench: a %s frame does not do what it should\n", kind.c_str());
    abort();
  }
  return true;
}

void World::Frame() {
  standin::RunHudFrame();
  // Keep the recorders from filling up; what they hold is not looked at.
  if (standin::GameRecord()->drawCalls >= 200) standin::ClearGameRecord();
  if (standin::VhudRecord()->hudRuns >= 200) standin::ClearVhudRecord();
}

void World::Pass() {
  InstallHudHook();
  InstallStaticSlotPatch();
  InstallSpacingPatch();
  InstallCentreTextPatch();
}

World& TheWorld() {
  if (!gBuilt) {
    gWorld.Build();
    gBuilt = true;
  }
  return gWorld;
}

void ForgetWorld() { gBuilt = false; }

}  // namespace bench
