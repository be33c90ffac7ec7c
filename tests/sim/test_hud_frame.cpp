// One HUD frame through the redirected jump: VHud's routine, the radar around
// it, the visibility decision and the player record.
#include <cmath>

#include "test_hud_fixture.h"

namespace hudtest {
namespace {

const char* const kRadarLine =
    "[RADAR][OK] safe wrapper active: temporarily disabling radar while weapon wheel is open";
const char* const kIconsHiddenLine =
    "[ICONS][OK] custom health/armour icons hidden while weapon wheel is open";
const char* const kInvalidatedLine =
    "[INFO] cached icon textures invalidated after player transition";
const char* const kState[8] = {
    "[STATE] drawing allowed",
    "[STATE] hidden: menu active",
    "[STATE] hidden: game frozen/paused",
    "[STATE] hidden: CHud::m_Wants_To_Draw_Hud = false",
    "[STATE] hidden: widescreen/cinematic",
    "[STATE] hidden: cutscene running",
    "[STATE] hidden: player ped unavailable",
    "[STATE] hidden: player dead / invalid health",
};

std::string PlayerLine(uintptr_t player) {
  return "[INFO] player pointer changed -> " + Hex(static_cast<uint32_t>(player));
}

class HudFrameTest : public HookedPlayerTest {
 protected:
  // The lines of a first frame in which everything is drawn.
  Lines FirstDrawnFrame(uintptr_t player) const {
    std::string icons = " health=" + Hex(static_cast<uint32_t>(health_)) +
                        " armour=" + Hex(static_cast<uint32_t>(armour_));
    return {PlayerLine(player), kState[0], "[LOAD]" + icons,
            "[DRAW] first successful draw" + icons};
  }
};

TEST_F(HudFrameTest, FrameRunsVhudRoutineThenDecidesAndDraws) {
  standin::RunHudFrame();

  EXPECT_EQ(standin::VhudRecord()->hudRuns, 1u);
  EXPECT_EQ(standin::GameRecord()->queryCalls, 1u);
  EXPECT_EQ(standin::GameRecord()->lastQueryArgument, 0);
  EXPECT_EQ(standin::GameRecord()->drawCalls, 2u);
  EXPECT_EQ(TakeLines(), FirstDrawnFrame(player_));
  EXPECT_EQ(gState.lastPlayerPed, player_);
  EXPECT_EQ(gState.lastLoggedState, 0);

  // Steady state: nothing more in the log, VHud's routine every frame.
  Frames(3);
  EXPECT_TRUE(NewLines().empty());
  EXPECT_EQ(standin::VhudRecord()->hudRuns, 4u);
  EXPECT_EQ(standin::GameRecord()->queryCalls, 4u);
  EXPECT_EQ(standin::GameRecord()->drawCalls, 8u);
}

TEST_F(HudFrameTest, ZeroSavedTargetSkipsVhudRoutine) {
  gState.savedHudTarget = 0;
  standin::RunHudFrame();
  EXPECT_EQ(standin::VhudRecord()->hudRuns, 0u);
  EXPECT_EQ(TakeLines(), FirstDrawnFrame(player_));
}

// ---- Radar ------------------------------------------------------------------

TEST_F(HudFrameTest, RadarIsOffOnlyWhileVhudDrawsAndGetsItsExactValueBack) {
  standin::SetWheelOpen(Vhud(), 1);
  standin::SetRadarEnabled(Vhud(), 5);
  Frames(2);

  const standin::VhudRecorder* v = standin::VhudRecord();
  ASSERT_EQ(v->hudRuns, 2u);
  EXPECT_EQ(v->radarSeen[0], 0);
  EXPECT_EQ(v->radarSeen[1], 0);
  EXPECT_EQ(v->wheelSeen[0], 1);
  EXPECT_EQ(standin::RadarEnabled(Vhud()), 5);
  // Once per process; the icons are hidden by the open wheel.
  EXPECT_EQ(TakeLines(), Lines({kRadarLine, PlayerLine(player_), kState[0], kIconsHiddenLine}));
  EXPECT_EQ(standin::GameRecord()->drawCalls, 0u);

  // Wheel closed: the radar is left as it is.
  standin::SetWheelOpen(Vhud(), 0);
  standin::SetRadarEnabled(Vhud(), 1);
  standin::RunHudFrame();
  EXPECT_EQ(v->radarSeen[2], 1);
  EXPECT_EQ(standin::RadarEnabled(Vhud()), 1);

  // Open again: suppressed again, without a second message.
  standin::SetWheelOpen(Vhud(), 1);
  standin::SetRadarEnabled(Vhud(), 0xFF);
  standin::RunHudFrame();
  EXPECT_EQ(v->radarSeen[3], 0);
  EXPECT_EQ(standin::RadarEnabled(Vhud()), 0xFF);
  for (const auto& line : NewLines()) EXPECT_NE(line, kRadarLine);
}

TEST_F(HudFrameTest, RadarAlreadyOffIsNeverWritten) {
  standin::SetWheelOpen(Vhud(), 1);
  standin::SetRadarEnabled(Vhud(), 0);
  // A write to the radar byte would now fault.
  uintptr_t page = (Vhud() + standin::kVhudRadarEnabled) & ~uintptr_t{0xFFF};
  sim::SetProtect(page, sim::kPageSize, sim::kPageReadOnly);
  Frames(2);
  sim::SetProtect(page, sim::kPageSize, sim::kPageReadWrite);

  EXPECT_EQ(standin::VhudRecord()->radarSeen[0], 0);
  EXPECT_EQ(standin::RadarEnabled(Vhud()), 0);
  EXPECT_EQ(gState.radarReported, 0);
  EXPECT_EQ(TakeLines(), Lines({PlayerLine(player_), kState[0], kIconsHiddenLine}));
}

TEST_F(HudFrameTest, RadarIsSuppressedOnlyWhenImageReachesWheelByte) {
  standin::SetWheelOpen(Vhud(), 1);
  standin::SetRadarEnabled(Vhud(), 3);

  gState.vhudSize = 0x1049E32;  // one short of the wheel byte
  standin::RunHudFrame();
  EXPECT_EQ(standin::VhudRecord()->radarSeen[0], 3);
  // Nor is the wheel byte trusted for the icons: they are drawn.
  EXPECT_EQ(standin::GameRecord()->drawCalls, 2u);

  gState.vhudSize = 0x1049E33;
  standin::RunHudFrame();
  EXPECT_EQ(standin::VhudRecord()->radarSeen[1], 0);
  EXPECT_EQ(standin::RadarEnabled(Vhud()), 3);
  EXPECT_EQ(standin::GameRecord()->drawCalls, 2u);

  Lines lines = TakeLines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[4], kRadarLine);
  EXPECT_EQ(lines[5], kIconsHiddenLine);
}

TEST_F(HudFrameTest, UnreadableWheelByteDisablesRadarSuppressionSilently) {
  standin::SetWheelOpen(Vhud(), 1);
  standin::SetRadarEnabled(Vhud(), 4);
  standin::VhudRecord()->skipByteReads = 1;  // VHud's routine does not look either
  uintptr_t page = (Vhud() + standin::kVhudWheelOpen) & ~uintptr_t{0xFFF};
  sim::SetProtect(page, sim::kPageSize, sim::kPageNoAccess);
  standin::RunHudFrame();
  sim::SetProtect(page, sim::kPageSize, sim::kPageReadWrite);

  EXPECT_EQ(standin::VhudRecord()->hudRuns, 1u);
  EXPECT_EQ(standin::RadarEnabled(Vhud()), 4);
  EXPECT_EQ(gState.radarReported, 0);
  // The wheel counts as closed for the icons too.
  EXPECT_EQ(standin::GameRecord()->drawCalls, 2u);
  EXPECT_EQ(TakeLines(), FirstDrawnFrame(player_));
}

TEST_F(HudFrameTest, RadarIsSuppressedInEveryStateWhileWheelIsOpen) {
  standin::SetWheelOpen(Vhud(), 1);
  standin::SetRadarEnabled(Vhud(), 1);
  standin::SetMenuActive(1);
  standin::RunHudFrame();

  EXPECT_EQ(standin::VhudRecord()->radarSeen[0], 0);
  EXPECT_EQ(standin::RadarEnabled(Vhud()), 1);
  EXPECT_EQ(TakeLines(), Lines({kRadarLine, kState[1]}));
  EXPECT_EQ(standin::GameRecord()->queryCalls, 0u);
}

// ---- Visibility state -----------------------------------------------------------

TEST_F(HudFrameTest, ConditionsAreTestedInOrderAndEachChangeIsLoggedOnce) {
  // Every hiding condition at once; then they go away one by one, first first.
  standin::SetMenuActive(1);
  standin::SetGameFrozen(1);
  standin::SetWantsToDrawHud(0);
  standin::SetWidescreen(1);
  standin::SetCutscene(1);
  Frames(2);
  standin::SetMenuActive(0);
  Frames(2);
  standin::SetGameFrozen(0);
  Frames(2);  // HUD not wanted together with the cinematic view: state 3
  standin::SetWantsToDrawHud(1);
  Frames(2);
  standin::SetWidescreen(0);
  Frames(2);
  EXPECT_EQ(standin::GameRecord()->queryCalls, 0u);
  EXPECT_EQ(standin::VhudRecord()->hudRuns, 10u);
  standin::SetCutscene(0);
  Frames(2);
  EXPECT_EQ(standin::GameRecord()->queryCalls, 2u);

  Lines lines = TakeLines();
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 7),
            Lines({kState[1], kState[2], kState[3], kState[4], kState[5], PlayerLine(player_),
                   kState[0]}));

  // Any one condition alone, from a drawing frame.
  const struct {
    void (*set)(uint8_t);
    uint8_t on, off;
    int state;
  } kAlone[] = {{standin::SetMenuActive, 1, 0, 1},
                {standin::SetGameFrozen, 1, 0, 2},
                {standin::SetWantsToDrawHud, 0, 1, 3},
                {standin::SetWidescreen, 1, 0, 4},
                {standin::SetCutscene, 1, 0, 5}};
  for (const auto& c : kAlone) {
    c.set(c.on);
    standin::RunHudFrame();
    c.set(c.off);
    standin::RunHudFrame();
    EXPECT_EQ(TakeLines(), Lines({kState[c.state], kState[0]})) << c.state;
  }
}

TEST_F(HudFrameTest, HealthMustBeGreaterThanZero) {
  struct Case {
    uint32_t bits;
    int state;
  };
  const Case kCases[] = {
      {0x00000000, 7},  // 0.0
      {0x80000000, 7},  // -0.0
      {0x7FC00000, 7},  // quiet NaN
      {0xFFC00000, 7},  // negative NaN
      {0x7F800001, 7},  // signalling NaN
      {0xBF800000, 7},  // -1.0
      {0xFF800000, 7},  // -infinity
      {0x3A83126F, 0},  // 0.001
      {0x00000001, 0},  // the smallest denormal
      {0x7F800000, 0},  // +infinity
  };
  standin::RunHudFrame();
  for (const Case& c : kCases) {
    // A menu frame in between, so that every case logs its own state.
    standin::SetMenuActive(1);
    standin::RunHudFrame();
    standin::SetMenuActive(0);
    uintptr_t player = standin::MakePlayer(FloatOf(c.bits));
    standin::SetPlayer(player);
    Mark();
    uint32_t loads = standin::VhudRecord()->loadCalls;
    standin::RunHudFrame();
    Lines lines = TakeLines();
    ASSERT_GE(lines.size(), 3u) << std::hex << c.bits;
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 3),
              Lines({PlayerLine(player), kInvalidatedLine, kState[c.state]}))
        << std::hex << c.bits;
    EXPECT_EQ(standin::VhudRecord()->loadCalls - loads, c.state == 0 ? 2u : 0u)
        << std::hex << c.bits;
  }
}

TEST_F(HudFrameTest, UnreadablePlayerRecordIsNoPlayer) {
  uintptr_t locked = standin::MakeUnreadable();
  standin::SetPlayer(locked);
  standin::RunHudFrame();
  EXPECT_EQ(TakeLines(), Lines({PlayerLine(locked), kState[6]}));

  // 1347 readable bytes are not enough; 1348 are.
  uintptr_t short1 = standin::MakePlayerAtEdge(50.0f, 1347);
  standin::SetPlayer(short1);
  standin::RunHudFrame();
  EXPECT_EQ(TakeLines(), Lines({PlayerLine(short1), kInvalidatedLine}));
  EXPECT_EQ(gState.lastLoggedState, 6);

  uintptr_t exact = standin::MakePlayerAtEdge(50.0f, 1348);
  standin::SetPlayer(exact);
  standin::RunHudFrame();
  Lines lines = TakeLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 3),
            Lines({PlayerLine(exact), kInvalidatedLine, kState[0]}));
  EXPECT_EQ(standin::GameRecord()->drawCalls, 2u);
}

// ---- Player transitions -----------------------------------------------------------

TEST_F(HudFrameTest, FirstPlayerKeepsCachedIconsLaterTransitionsDropThem) {
  // From no player to a player: one line, the slots stay.
  uintptr_t cached = standin::MakeTexture(32, 32);
  gState.healthIcon.texture = static_cast<uint32_t>(cached);
  gState.armourIcon.texture = static_cast<uint32_t>(cached);
  gState.iconRetryCountdown = 9;
  standin::RunHudFrame();
  EXPECT_EQ(TakeLines(), Lines({PlayerLine(player_), kState[0],
                                "[DRAW] first successful draw health=" + Hex(uint32_t(cached)) +
                                    " armour=" + Hex(uint32_t(cached))}));
  EXPECT_EQ(gState.healthIcon.texture, cached);
  EXPECT_EQ(gState.iconRetryCountdown, 9);
  EXPECT_EQ(standin::VhudRecord()->loadCalls, 0u);

  // To another (dead) player: two lines; slots and countdown cleared.
  uintptr_t second = standin::MakePlayer(0.0f);
  gState.iconRetryCountdown = 12;
  standin::SetPlayer(second);
  standin::RunHudFrame();
  EXPECT_EQ(TakeLines(), Lines({PlayerLine(second), kInvalidatedLine, kState[7]}));
  EXPECT_EQ(gState.healthIcon.texture, 0u);
  EXPECT_EQ(gState.armourIcon.texture, 0u);
  EXPECT_EQ(gState.iconRetryCountdown, 0);
  EXPECT_EQ(gState.lastPlayerPed, second);

  // To no player: two lines, the first with eight zero digits, then state 6.
  standin::SetPlayer(0);
  standin::RunHudFrame();
  EXPECT_EQ(TakeLines(), Lines({PlayerLine(0), kInvalidatedLine, kState[6]}));
  EXPECT_EQ(PlayerLine(0), "[INFO] player pointer changed -> 0x00000000");

  // Back to a living player: one line, and the icons are loaded at once.
  uintptr_t third = standin::MakePlayer(1.0f);
  standin::SetPlayer(third);
  standin::RunHudFrame();
  std::string icons = " health=" + Hex(uint32_t(health_)) + " armour=" + Hex(uint32_t(armour_));
  EXPECT_EQ(TakeLines(), Lines({PlayerLine(third), kState[0], "[LOAD]" + icons}));
  EXPECT_EQ(standin::VhudRecord()->loadCalls, 2u);
}

TEST_F(HudFrameTest, TransitionDuringHiddenStateIsSeenOnFirstFrameAfterIt) {
  standin::RunHudFrame();
  TakeLines();
  uintptr_t other = standin::MakePlayer(80.0f);
  standin::SetCutscene(1);
  standin::SetPlayer(other);
  Frames(2);
  EXPECT_EQ(TakeLines(), Lines({kState[5]}));
  EXPECT_EQ(gState.lastPlayerPed, player_);
  EXPECT_NE(gState.healthIcon.texture, 0u);

  standin::SetCutscene(0);
  standin::RunHudFrame();
  // Dropped and loaded again within the same frame.
  std::string icons = " health=" + Hex(uint32_t(health_)) + " armour=" + Hex(uint32_t(armour_));
  EXPECT_EQ(TakeLines(), Lines({PlayerLine(other), kInvalidatedLine, kState[0], "[LOAD]" + icons}));
  EXPECT_EQ(standin::VhudRecord()->loadCalls, 4u);
  EXPECT_EQ(gState.iconRetryCountdown, 30);
}

}  // namespace
}  // namespace hudtest
