// The worker on finding VHud: the known build with its sites, another build
// left alone, and a module whose header is no PE header.

#include "test_worker_fixture.h"

namespace {

using namespace worker_test;
using core::BootLines;
using core::Concat;
using core::Hex;
using core::kVhudNotFound;
using core::kWorkerStarted;

TEST_F(WorkerTest, AnotherBuildIsJudgedOnceAndLeftAloneAsWithoutVhud) {
  const uintptr_t vhud = BuildVhud(Sites::None);
  MapGame(vhud, true);
  sim::AddModule("VHud.asi", vhud);
  const std::vector<uint8_t> image(reinterpret_cast<const uint8_t*>(vhud),
                                   reinterpret_cast<const uint8_t*>(vhud) + kVhudSize);
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 402) core::RequestStop();
  });
  RunUntil(402);
  // The search goes on to its end, walking past it; no installer ran,
  // nothing written, its eight sites read once.
  EXPECT_EQ(sim::Record().sleeps, Sleeps(400, 2));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, kVhudSize),
                                          "[ERR] VHud.asi build not recognised; nothing patched"}));
  EXPECT_EQ(gState.vhudBase, 0u);
  // The eight sites, and the headers of the three listed modules in the look
  // for other copies at attach and at the first pass.
  EXPECT_EQ(sim::Record().virtualQuery, 8u + 3u + 3u);
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
  EXPECT_EQ(RelativeTarget(kHudJump, Get32(kHudJump + 1)), vhud + kVhudHudRoutine);
  EXPECT_TRUE(memcmp(image.data(), reinterpret_cast<const void*>(vhud), kVhudSize) == 0);
}

// Another build listed first, the known build further down the list from
// the start or loaded later: the known one is patched.
TEST_F(WorkerTest, AKnownBuildBehindAnotherBuildIsFoundAndPatched) {
  for (uint32_t loadedAt : {0u, 3u}) {
    SCOPED_TRACE("the known build listed at sleep " + std::to_string(loadedAt));
    SetUp();
    const uintptr_t other = BuildVhud(Sites::None);
    const uintptr_t known = BuildVhud(Sites::Original);
    MapGame(known, true);
    sim::AddModule("VHud.asi", other);
    if (loadedAt == 0) sim::AddModule("VHud.asi", known);
    core::SteerSleep([&](uint32_t n, uint32_t) {
      if (n == loadedAt) sim::AddModule("VHud.asi", known);
      if (n == loadedAt + 2) core::RequestStop();
    });
    RunUntil(loadedAt + 2);
    EXPECT_EQ(sim::Record().sleeps, Sleeps(loadedAt, 2));
    EXPECT_EQ(Lines(),
              Concat(BootLines(), Concat({kWorkerStarted, BaseLine(other, kVhudSize),
                                          "[ERR] VHud.asi build not recognised; nothing patched"},
                                         SuccessLines(known))));
    EXPECT_EQ(gState.vhudBase, known);
  }
}

// ---- VHud without a PE header ----------------------------------------------------------------

TEST_F(WorkerTest, AVhudWithoutPeHeaderIsRecordedWithSizeZeroAndNeverPatched) {
  // The game's memory is not mapped: an installer reaching for the HUD jump
  // would fault.
  const uintptr_t vhud = BuildNonPeModule();
  sim::AddModule("VHud.asi", vhud);
  std::vector<size_t> linesAt(410, 0);
  core::SteerSleep([&](uint32_t n, uint32_t) {
    linesAt[n] = sim::LogLines().size();
    if (n == 402) core::RequestStop();
  });
  RunUntil(402);
  EXPECT_EQ(sim::Record().sleeps, Sleeps(400, 2));
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, 0)}));
  EXPECT_EQ(linesAt[1], 5u);  // the first look-up comes before any sleep
  EXPECT_EQ(gState.vhudBase, vhud);
  EXPECT_EQ(gState.vhudSize, 0u);
  // Only the look for other copies: three modules' headers, twice.
  EXPECT_EQ(sim::Record().virtualQuery, 3u + 3u);
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
}

TEST_F(WorkerTest, ASignatureOtherThanExactly4550GivesSizeZero) {
  const uintptr_t vhud = BuildVhud(Sites::Original);
  sim::SetProtect(vhud, sim::kPageSize, sim::kPageReadWrite);
  Put32(vhud + Get32(vhud + 0x3C), 0x01004550);  // "PE" followed by 00 01
  sim::AddModule("VHud.asi", vhud);
  core::SteerSleep([](uint32_t n, uint32_t) {
    if (n == 3) core::RequestStop();
  });
  RunUntil(3);
  EXPECT_EQ(Lines(), Concat(BootLines(), {kWorkerStarted, BaseLine(vhud, 0)}));
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
}

}  // namespace
