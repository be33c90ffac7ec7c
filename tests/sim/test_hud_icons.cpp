// The health and armour icons: usability, and loading and retry timing
// (placement: test_hud_icon_placement.cpp).
#include <limits.h>

#include <algorithm>
#include <thread>

#include "test_hud_fixture.h"

namespace hudtest {
namespace {

const char* const kHealthWarn = "[WARN] health_icon texture/raster invalid; will retry";
const char* const kArmourWarn = "[WARN] armour_icon texture/raster invalid; will retry";
const char* const kRadarLine =
    "[RADAR][OK] safe wrapper active: temporarily disabling radar while weapon wheel is open";
const char* const kIconsHiddenLine =
    "[ICONS][OK] custom health/armour icons hidden while weapon wheel is open";

// An address with exactly `readable` readable bytes before a no-access page.
uintptr_t AtEdge(uint32_t readable) {
  uintptr_t pages = sim::MapAnywhere(2 * sim::kPageSize, sim::kPageSize);
  sim::SetProtect(pages + sim::kPageSize, sim::kPageSize, sim::kPageNoAccess);
  return pages + sim::kPageSize - readable;
}

// ---- Usability ----------------------------------------------------------------

TEST_F(HudIconTest, RasterSizeMustLieIn1To4096) {
  const struct {
    int32_t width, height, usable;
  } kCases[] = {
      {1, 1, 1},     {4096, 4096, 1}, {4096, 1, 1},    {1, 4096, 1},    {64, 64, 1},
      {4097, 64, 0}, {64, 4097, 0},   {0, 64, 0},      {64, 0, 0},      {-1, 64, 0},
      {64, -1, 0},   {INT_MIN, 1, 0}, {1, INT_MAX, 0}, {4097, 4097, 0},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(IsIconUsable(static_cast<uint32_t>(standin::MakeTexture(c.width, c.height))),
              c.usable)
        << c.width << " x " << c.height;
  }
}

TEST_F(HudIconTest, TextureAndRasterMustBeReadable) {
  uint32_t queries = sim::Record().virtualQuery;
  EXPECT_EQ(IsIconUsable(0), 0);
  EXPECT_EQ(sim::Record().virtualQuery, queries);  // a null texture reads nothing

  EXPECT_EQ(IsIconUsable(static_cast<uint32_t>(standin::MakeUnreadable())), 0);
  EXPECT_EQ(IsIconUsable(static_cast<uint32_t>(standin::MakeTextureWithRaster(0))), 0);
  EXPECT_EQ(IsIconUsable(
                static_cast<uint32_t>(standin::MakeTextureWithRaster(standin::MakeUnreadable()))),
            0);

  // Texture: 8 bytes must be readable.
  uintptr_t good = standin::MakeTexture(16, 16);
  uint32_t raster = *reinterpret_cast<uint32_t*>(good);
  for (uint32_t readable : {7u, 8u}) {
    uintptr_t texture = AtEdge(readable);
    memcpy(reinterpret_cast<void*>(texture), &raster, 4);
    EXPECT_EQ(IsIconUsable(static_cast<uint32_t>(texture)), readable == 8u ? 1 : 0) << readable;
  }
  // Raster: 24 bytes must be readable.
  for (uint32_t readable : {23u, 24u}) {
    uintptr_t r = AtEdge(readable);
    int32_t size = 16;
    memcpy(reinterpret_cast<void*>(r + 12), &size, 4);
    memcpy(reinterpret_cast<void*>(r + 16), &size, 4);
    EXPECT_EQ(IsIconUsable(static_cast<uint32_t>(standin::MakeTextureWithRaster(r))),
              readable == 24u ? 1 : 0)
        << readable;
  }
}

// ---- Loading and retry timing --------------------------------------------------

TEST_F(HudIconTest, BothLoadedOnFirstFrameAndDrawnAtOnce) {
  uintptr_t health = standin::MakeTexture(64, 64);
  uintptr_t armour = standin::MakeTexture(32, 48);
  standin::SetLoadResults(static_cast<uint32_t>(health), static_cast<uint32_t>(armour));
  standin::RunHudFrame();

  ASSERT_EQ(Loads(), 2u);
  const standin::LoadRecord* loads = standin::VhudRecord()->loads;
  EXPECT_STREQ(loads[0].folder, "VHud\\icons");
  EXPECT_STREQ(loads[0].name, "health_icon");
  EXPECT_STREQ(loads[1].folder, "VHud\\icons");
  EXPECT_STREQ(loads[1].name, "armour_icon");
  EXPECT_EQ(gState.healthIcon.texture, health);
  EXPECT_EQ(gState.armourIcon.texture, armour);
  EXPECT_EQ(gState.iconRetryCountdown, 30);
  ASSERT_EQ(Draws(), 2u);
  EXPECT_EQ(Draw(0).sprite, reinterpret_cast<uintptr_t>(&gState.healthIcon));
  EXPECT_EQ(Draw(0).texture, health);
  EXPECT_EQ(Draw(1).sprite, reinterpret_cast<uintptr_t>(&gState.armourIcon));
  EXPECT_EQ(Draw(1).texture, armour);
  EXPECT_EQ(TakeLines(), Lines({"[INFO] player pointer changed -> " + Hex(uint32_t(player_)),
                                "[STATE] drawing allowed", "[LOAD]" + Pointers(health, armour),
                                "[DRAW] first successful draw" + Pointers(health, armour)}));

  // Usable icons are kept: no load, the countdown stays, nothing logged.
  Frames(40);
  EXPECT_EQ(Loads(), 2u);
  EXPECT_EQ(gState.iconRetryCountdown, 30);
  EXPECT_EQ(Draws(), 82u);
  EXPECT_TRUE(NewLines().empty());
}

TEST_F(HudIconTest, UnusableIconIsReloadedEvery31stCountedFrame) {
  uintptr_t health = standin::MakeTexture(64, 64);
  uintptr_t badArmour = standin::MakeTexture(4097, 64);
  standin::SetLoadResults(static_cast<uint32_t>(health), static_cast<uint32_t>(badArmour));
  standin::RunHudFrame();
  EXPECT_EQ(TakeLines(),
            Lines({"[INFO] player pointer changed -> " + Hex(uint32_t(player_)),
                   "[STATE] drawing allowed", "[LOAD]" + Pointers(health, badArmour), kArmourWarn,
                   "[DRAW] first successful draw" + Pointers(health, badArmour)}));
  EXPECT_EQ(Loads(), 2u);
  // Only the usable icon is drawn, at the health place.
  ASSERT_EQ(Draws(), 1u);
  EXPECT_EQ(Draw(0).sprite, reinterpret_cast<uintptr_t>(&gState.healthIcon));
  EXPECT_EQ(Draw(0).y, 0x433C0000u);  // 188.0

  // Ten counted frames.
  Frames(10);
  EXPECT_EQ(gState.iconRetryCountdown, 20);
  // Frames with the wheel open and frames in another state do not count.
  standin::SetWheelOpen(Vhud(), 1);
  Frames(5);
  standin::SetWheelOpen(Vhud(), 0);
  standin::SetMenuActive(1);
  Frames(3);
  standin::SetMenuActive(0);
  EXPECT_EQ(gState.iconRetryCountdown, 20);
  EXPECT_EQ(Draws(), 11u);
  EXPECT_EQ(TakeLines(), Lines({kRadarLine, kIconsHiddenLine, "[STATE] hidden: menu active"}));

  // Twenty more counted frames run the countdown out without a load...
  Frames(20);
  EXPECT_EQ(gState.iconRetryCountdown, 0);
  EXPECT_EQ(Loads(), 2u);
  EXPECT_EQ(TakeLines(), Lines({"[STATE] drawing allowed"}));
  // ...and the 31st reloads the armour icon alone.
  standin::RunHudFrame();
  ASSERT_EQ(Loads(), 3u);
  EXPECT_STREQ(standin::VhudRecord()->loads[2].name, "armour_icon");
  EXPECT_EQ(gState.iconRetryCountdown, 30);
  EXPECT_EQ(TakeLines(), Lines({"[LOAD]" + Pointers(health, badArmour), kArmourWarn}));

  // Next time VHud has it: loaded on the 31st counted frame, then drawn.
  uintptr_t armour = standin::MakeTexture(64, 64);
  standin::SetLoadResults(0, static_cast<uint32_t>(armour));
  Frames(30);
  EXPECT_EQ(Loads(), 3u);
  EXPECT_EQ(Draws(), 62u);
  standin::RunHudFrame();
  EXPECT_EQ(Loads(), 4u);
  EXPECT_EQ(gState.healthIcon.texture, health);
  EXPECT_EQ(TakeLines(), Lines({"[LOAD]" + Pointers(health, armour)}));
  EXPECT_EQ(Draws(), 64u);
  EXPECT_EQ(Draw(62).sprite, reinterpret_cast<uintptr_t>(&gState.healthIcon));
  EXPECT_EQ(Draw(63).sprite, reinterpret_cast<uintptr_t>(&gState.armourIcon));
}

TEST_F(HudIconTest, FailedLoadsAreLoggedAndRetriedWithoutLimit) {
  // The hook's line was written and flushed by the installer.
  const uint32_t writes = sim::Record().writeFile;
  const size_t flushes = sim::Record().flushThreads.size();
  uintptr_t unreadable = standin::MakeUnreadable();
  standin::SetLoadResults(0, static_cast<uint32_t>(unreadable));
  standin::RunHudFrame();
  Lines first = {"[LOAD]" + Pointers(0, unreadable), kHealthWarn, kArmourWarn};
  Lines lines = TakeLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(Lines(lines.begin() + 2, lines.end()), first);
  EXPECT_EQ(Draws(), 0u);
  EXPECT_EQ(gState.firstDrawReported, 0);

  for (int attempt = 0; attempt < 6; ++attempt) {
    Frames(30);
    EXPECT_TRUE(NewLines().empty());
    standin::RunHudFrame();
    EXPECT_EQ(TakeLines(), first) << attempt;
  }
  Frames(13);
  EXPECT_EQ(Loads(), 14u);
  EXPECT_EQ(Draws(), 0u);
  // 200 frames, 23 lines, and the render thread never waited for the disk.
  EXPECT_EQ(sim::Record().writeFile - writes, 23u);
  const std::vector<std::thread::id>& flushers = sim::Record().flushThreads;
  EXPECT_EQ(std::count(flushers.begin() + static_cast<long>(flushes), flushers.end(),
                       std::this_thread::get_id()),
            0);
}

TEST_F(HudIconTest, IconThatTurnsUnusableWaitsForRemainingCount) {
  uintptr_t health = standin::MakeTexture(64, 64);
  uintptr_t armour = standin::MakeTexture(64, 64);
  standin::SetLoadResults(static_cast<uint32_t>(health), static_cast<uint32_t>(armour));
  Frames(3);
  ASSERT_EQ(gState.iconRetryCountdown, 30);
  TakeLines();

  // The health icon's raster goes bad: the next 30 counted frames only count.
  int32_t* raster = reinterpret_cast<int32_t*>(*reinterpret_cast<uint32_t*>(health));
  raster[3] = 0;
  uint32_t draws = Draws();
  Frames(30);
  EXPECT_EQ(gState.iconRetryCountdown, 0);
  EXPECT_EQ(Loads(), 2u);
  EXPECT_EQ(Draws(), draws + 30);  // the armour icon alone
  EXPECT_EQ(Draw(draws).sprite, reinterpret_cast<uintptr_t>(&gState.armourIcon));
  EXPECT_EQ(Draw(draws).y, 0x43550000u);  // 213.0, its own place
  EXPECT_TRUE(NewLines().empty());

  standin::RunHudFrame();
  ASSERT_EQ(Loads(), 3u);
  EXPECT_STREQ(standin::VhudRecord()->loads[2].name, "health_icon");
  EXPECT_EQ(TakeLines(), Lines({"[LOAD]" + Pointers(health, armour), kHealthWarn}));
}

TEST_F(HudIconTest, MissingVhudBaseSkipsLoadingButStillCountsAndLogs) {
  standin::SetLoadResults(static_cast<uint32_t>(standin::MakeTexture(8, 8)),
                          static_cast<uint32_t>(standin::MakeTexture(8, 8)));
  gState.vhudBase = 0;
  standin::RunHudFrame();
  EXPECT_EQ(Loads(), 0u);
  EXPECT_EQ(gState.iconRetryCountdown, 30);
  Lines lines = TakeLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(Lines(lines.begin() + 2, lines.end()),
            Lines({"[LOAD]" + Pointers(0, 0), kHealthWarn, kArmourWarn}));
  EXPECT_EQ(standin::VhudRecord()->hudRuns, 1u);
}

TEST_F(HudIconTest, OpenWheelHidesIconsBeforeAnyTestAndReportsOnce) {
  uintptr_t health = standin::MakeTexture(64, 64);
  standin::SetLoadResults(static_cast<uint32_t>(health), 0);
  standin::SetWheelOpen(Vhud(), 1);
  Frames(40);
  EXPECT_EQ(Loads(), 0u);
  EXPECT_EQ(Draws(), 0u);
  EXPECT_EQ(gState.iconRetryCountdown, 0);
  EXPECT_EQ(TakeLines(),
            Lines({kRadarLine, "[INFO] player pointer changed -> " + Hex(uint32_t(player_)),
                   "[STATE] drawing allowed", kIconsHiddenLine}));

  // Closed: loaded at once.
  standin::SetWheelOpen(Vhud(), 0);
  standin::RunHudFrame();
  EXPECT_EQ(Loads(), 2u);
  EXPECT_EQ(Draws(), 1u);
  EXPECT_EQ(gState.iconRetryCountdown, 30);
  TakeLines();

  // Open again: the countdown stands still and nothing more is written.
  standin::SetWheelOpen(Vhud(), 1);
  Frames(50);
  EXPECT_EQ(gState.iconRetryCountdown, 30);
  EXPECT_EQ(Loads(), 2u);
  EXPECT_EQ(Draws(), 1u);
  EXPECT_TRUE(NewLines().empty());
}

// The wheel byte is read after VHud's routine ran: VHud opening its wheel
// during the frame hides the icons in that same frame.
TEST_F(HudIconTest, WheelOpenedByVhudDuringFrameHidesIcons) {
  standin::SetLoadResults(static_cast<uint32_t>(standin::MakeTexture(8, 8)),
                          static_cast<uint32_t>(standin::MakeTexture(8, 8)));
  standin::RunHudFrame();
  ASSERT_EQ(Draws(), 2u);
  // VHud's routine now lives at a new entry that opens the wheel first.
  uintptr_t wheel = Vhud() + standin::kVhudWheelOpen;
  uint32_t entry = static_cast<uint32_t>(Vhud()) + 0x3000;
  std::vector<uint8_t> code = {0xC6, 0x05, 0, 0, 0, 0,
                               0x01, 0xE9, 0, 0, 0, 0};  // mov byte [wheel],1
  memcpy(&code[2], &wheel, 4);
  uint32_t d = HudRoutine() - (entry + 12);
  memcpy(&code[8], &d, 4);
  PokeCode(entry, code);
  gState.savedHudTarget = entry;
  standin::SetRadarEnabled(Vhud(), 1);
  standin::RunHudFrame();

  EXPECT_EQ(standin::VhudRecord()->wheelSeen[1], 1);
  EXPECT_EQ(standin::VhudRecord()->radarSeen[1], 1);  // radar was decided before
  EXPECT_EQ(Draws(), 2u);
  EXPECT_EQ(TakeLines().back(), kIconsHiddenLine);
}

}  // namespace
}  // namespace hudtest
