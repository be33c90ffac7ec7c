// The three wheel patches through the worker, from attach: the order of the
// log lines, the wheel as VHud then draws it in a HUD frame, sites put back
// during the second phase (the build recognised patched, put back and
// patched again), and another build of VHud left alone.
#include "entry/entry.h"
#include "hud/hud.h"
#include "test_wheel_support.h"

namespace wheel {
namespace {

constexpr float kTable[8] = {0.0f, -62.0f, -48.0f, -62.0f, 0.0f, 62.0f, 48.0f, 62.0f};
constexpr float kFine[8] = {0.0f, 8.0f, 10.0f, 8.0f, 0.0f, -8.0f, -10.0f, -8.0f};

uintptr_t gBase = 0;
bool gPutBack = false;
bool gKnownPatched = false, gKnownPutBack = false;

// Runs on the worker thread in its first second-phase sleep, between two
// passes: puts VHud's bytes back at all three patched sites.
void PutVhudBytesBack(uint32_t count, uint32_t) {
  if (count != 1) return;
  gPutBack = true;
  gKnownPatched = IsKnownVhudBuild(gBase, standin::kVhudSizeOfImage);
  Poke(gBase + kRotateSite, Rel(0xE8, gBase + kRotateSite, gBase + 0x50290));
  Poke(gBase + kSpacingSite, std::vector<uint8_t>(kSpacingBytes, kSpacingBytes + 9));
  for (uint32_t i = 0; i < 6; ++i) {
    uint32_t c = static_cast<uint32_t>(standin::CentreTextConstantAddress(gBase, i));
    Poke(gBase + standin::kCentreTextSiteOffsets[i] + 4,
         {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c >> 16),
          static_cast<uint8_t>(c >> 24)});
  }
  gKnownPutBack = IsKnownVhudBuild(gBase, standin::kVhudSizeOfImage);
}

class WheelEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    world_ = standin::BuildWorld(true);
    gBase = world_.vhudBase;
    gPutBack = false;
    gKnownPatched = gKnownPutBack = false;
  }
  void TearDown() override { sim::StopWorker(); }

  std::vector<std::string> ExpectedLines() const {
    uintptr_t base = world_.vhudBase;
    return {
        "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started",
        "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk",
        "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide + "
        "hide custom health/armour icons while wheel open",
        "[THREAD] worker started",
        "[OK] VHud.asi base=" + Hex(base) + " size=0x0104A000",
        "[WHEEL][OK] static-slot patch installed; original RotateVertices=" + Hex(base + 0x50290),
        "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
        "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
        "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
        "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
        "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)",
        "[HOOK] installed; original=" + Hex(base + standin::kVhudHudRoutine) +
            " hook=" + Hex(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&HudFrameHook))),
    };
  }

  // One HUD frame with the wheel open; checks that VHud drew the wheel with
  // all three patches in effect.
  void ExpectPatchedWheelFrame() {
    standin::ClearVhudWheelRecord();
    standin::SetWheelOpen(world_.vhudBase, 1);
    standin::RunHudFrame();
    standin::SetWheelOpen(world_.vhudBase, 0);
    EXPECT_EQ(0u, standin::GameRecord()->framesUnbalanced);
    const standin::WheelRecord* r = standin::VhudWheelRecord();
    ASSERT_EQ(1u, r->runs);
    EXPECT_EQ(0u, r->slotFaults);
    EXPECT_EQ(16u, r->rotateCalls);  // two calls per slot: the quads went through the patch
    for (int k = 0; k < 8; ++k) {
      EXPECT_NEAR(r->slotQuads[k].v[1], r->slotQuads[k].v[3], 1e-3) << "slot " << k << " upright";
      EXPECT_EQ(0u, r->spacingFaults[k]) << k;
      EXPECT_EQ(Bits(standin::kSlotContentX[k] + kTable[k]), Bits(r->slotContentX[k])) << k;
      EXPECT_EQ(Bits(standin::kSlotAmmoX[k] + (kTable[k] + kFine[k])), Bits(r->slotAmmoX[k])) << k;
    }
    const float placed[6] = {476.0f, 960.0f, 610.0f, 960.0f, 703.0f, 960.0f};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(Bits(placed[i]), Bits(r->centreText[i])) << i;
  }

  standin::World world_{};
};

TEST_F(WheelEndToEnd, AttachInstallsTheWheelPatchesInOrderAndVhudDrawsWithThem) {
  ASSERT_EQ(1, DllMain(nullptr, kDllProcessAttach, nullptr));
  ASSERT_TRUE(sim::WaitForSleeps(2));
  sim::StopWorker();
  std::vector<std::string> lines = sim::LogLines();
  std::vector<std::string> want = ExpectedLines();
  ASSERT_GE(lines.size(), want.size());
  EXPECT_EQ(want, std::vector<std::string>(lines.begin(), lines.begin() + want.size()));
  // The hook went in on the first attempt: no 100 ms sleep at all.
  EXPECT_EQ(500u, sim::Record().sleeps[0]);
  ExpectPatchedWheelFrame();
}

TEST_F(WheelEndToEnd, SitesPutBackInTheSecondPhaseArePatchedAgainWithoutALine) {
  sim::SetSleepHook(&PutVhudBytesBack);
  ASSERT_EQ(1, DllMain(nullptr, kDllProcessAttach, nullptr));
  ASSERT_TRUE(sim::WaitForSleeps(3));
  sim::StopWorker();
  ASSERT_TRUE(gPutBack);
  // First attempt: 1 + 1 + 6 sites and the HUD jump; second pass: the three
  // wheel patches again.
  uint32_t lifts = 0;
  for (const sim::ProtectCall& c : sim::Record().protects) {
    if (c.newProtect == sim::kPageExecuteReadWrite) ++lifts;
  }
  EXPECT_EQ(9u + 8u, lifts);
  uintptr_t base = world_.vhudBase;
  EXPECT_EQ(Rel(0xE8, base + kRotateSite, reinterpret_cast<uintptr_t>(&StaticSlotRotate)),
            BytesAt(base + kRotateSite, 5));
  EXPECT_EQ(0xE9, BytesAt(base + kSpacingSite + 3, 1)[0]);
  EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&gState.nameY)),
            WordAt(base + standin::kCentreTextSiteOffsets[0] + 4));
  EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&gState.centreTextX)),
            WordAt(base + standin::kCentreTextSiteOffsets[5] + 4));
  std::vector<std::string> lines = sim::LogLines();
  std::vector<std::string> want = ExpectedLines();
  EXPECT_EQ(want, lines);
  ExpectPatchedWheelFrame();
  EXPECT_TRUE(gKnownPatched);
  EXPECT_TRUE(gKnownPutBack);
  EXPECT_TRUE(IsKnownVhudBuild(base, world_.vhudSize)) << "patched again";
}

// Another build: other code at every site, a trap at the sprite loader's
// offset, a canary at the radar byte. With the wheel byte set and a living
// player with usable icons, nothing of the plug-in runs in a frame.
TEST_F(WheelEndToEnd, AnotherBuildOfVhudIsLeftAlone) {
  const uintptr_t base = world_.vhudBase;
  const uint32_t code = standin::kVhudCodeEnd - standin::kVhudCodeBegin;
  sim::SetProtect(base + standin::kVhudCodeBegin, code, sim::kPageReadWrite);
  standin::BuildOtherVhudBuild(base);
  sim::SetProtect(base + standin::kVhudCodeBegin, code, sim::kPageExecuteRead);
  standin::SetPlayer(standin::MakePlayer(100.0f));
  standin::SetLoadResults(static_cast<uint32_t>(standin::MakeTexture(32, 32)),
                          static_cast<uint32_t>(standin::MakeTexture(32, 32)));
  standin::SetWheelOpen(base, 1);
  const std::vector<uint8_t> image = BytesAt(base, world_.vhudSize);
  const std::vector<uint8_t> jump = BytesAt(standin::kGameHudJump, 5);
  ASSERT_EQ(1, DllMain(nullptr, kDllProcessAttach, nullptr));
  ASSERT_TRUE(sim::WaitForSleeps(2));
  sim::StopWorker();
  std::vector<std::string> want = ExpectedLines();
  want.resize(5);
  want.push_back("[ERR] VHud.asi build not recognised; nothing patched");
  EXPECT_EQ(want, sim::LogLines());
  for (int i = 0; i < 62; ++i) {
    if (i == 60) standin::SetWheelOpen(base, 0);
    standin::RunHudFrame();
  }
  const standin::VhudRecorder* vhud = standin::VhudRecord();
  EXPECT_EQ(62u, vhud->hudRuns);
  EXPECT_EQ(0u, vhud->trapCalls);
  EXPECT_EQ(0u, standin::GameRecord()->framesUnbalanced);
  EXPECT_EQ(0u, standin::GameRecord()->drawCalls);
  EXPECT_EQ(standin::kOtherBuildCanary, standin::RadarEnabled(base));
  EXPECT_EQ(jump, BytesAt(standin::kGameHudJump, 5));
  standin::SetWheelOpen(base, 1);
  EXPECT_TRUE(image == BytesAt(base, world_.vhudSize)) << "VHud's image changed";
  EXPECT_EQ(want, sim::LogLines());
}

}  // namespace
}  // namespace wheel
