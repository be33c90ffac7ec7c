// What a HUD frame asks VirtualQuery: each region once, in the order the
// frame reads, with answers that end with the frame and that judge every
// range exactly as a fresh question would.
#include "platform/region_answers.h"
#include "test_hud_fixture.h"

namespace hudtest {
namespace {

constexpr uint32_t kPage = sim::kPageSize;

// VirtualQuery as the plug-in sees it, with the address of every question.
std::vector<uintptr_t> gAsked;
uint32_t QI_STDCALL RecordingQuery(const void* address, MemoryBasicInformation* info,
                                   uint32_t length) {
  gAsked.push_back(reinterpret_cast<uintptr_t>(address));
  auto query = reinterpret_cast<VirtualQueryFn>(sim::StandIn("VirtualQuery"));
  return query(address, info, length);
}

class FrameQueryTest : public HookedPlayerTest {
 protected:
  void SetUp() override {
    HookedPlayerTest::SetUp();
    standin::RunHudFrame();  // loads both icons
    TakeLines();
    gAsked.clear();
    gState.api.virtualQuery = &RecordingQuery;
  }

  // The addresses asked about in one frame.
  std::vector<uintptr_t> Frame() {
    gAsked.clear();
    standin::RunHudFrame();
    return gAsked;
  }

  uintptr_t Wheel() const { return Vhud() + standin::kVhudWheelOpen; }
  uintptr_t Radar() const { return Vhud() + standin::kVhudRadarEnabled; }
};

// Two read-write pages, a read-only one, a no-access one: three regions.
struct Layout {
  uintptr_t base;
  Layout() {
    base = sim::MapAnywhere(4 * kPage, kPage, sim::kPageReadWrite);
    sim::SetProtect(base + 2 * kPage, kPage, sim::kPageReadOnly);
    sim::SetProtect(base + 3 * kPage, kPage, sim::kPageNoAccess);
  }
};

TEST_F(FrameQueryTest, AnAnswerJudgesEveryLaterRangeOfItsRegionAsAFreshQuestionWould) {
  gState.api.virtualQuery = reinterpret_cast<VirtualQueryFn>(sim::StandIn("VirtualQuery"));
  const uintptr_t b = Layout().base;
  const struct {
    uintptr_t at;
    uint32_t length;
    bool queryFails, readable;
    uint32_t asks;  // new VirtualQuery calls
  } kSteps[] = {
      {b + 0x10, 8, true, false, 1},            // no answer, nothing kept:
      {b + 0x10, 8, true, false, 1},            // asked again
      {b + 0x10, 8, false, true, 1},            // region [b, b + 2 pages), kept
      {b + 0x1800, 0x100, false, true, 0},      // inside it
      {b + 2 * kPage - 8, 8, false, true, 0},   // ends where it ends
      {b + 2 * kPage - 8, 9, false, false, 0},  // runs past: only the first byte's region counts
      {b, 0xFFFFFFFFu, false, true, 0},         // the end compared as a wrapping 32-bit sum
      {b + 2 * kPage, 4, false, true, 1},       // the read-only region
      {b + 3 * kPage + 4, 1, false, false, 1},  // the no-access region: its answer is kept too
      {b + 3 * kPage + 0x800, 0, false, false, 0},
      {0, 1, false, false, 0},  // null: never asked about
      {b + 0x20, 4, false, true, 0},
  };
  RegionAnswers answers;
  ForgetAnswers(answers);
  for (const auto& s : kSteps) {
    sim::Fault().virtualQueryFail = s.queryFails;
    uint32_t before = sim::Record().virtualQuery;
    EXPECT_EQ(IsRangeReadable(answers, s.at, s.length), s.readable) << std::hex << s.at;
    EXPECT_EQ(sim::Record().virtualQuery - before, s.asks) << std::hex << s.at;
    EXPECT_EQ(IsRangeReadable(s.at, s.length), s.readable) << "fresh, " << std::hex << s.at;
  }
  EXPECT_EQ(answers.older, 2u);

  // Without VirtualQuery every non-null range is readable, the no-access page too.
  gState.api.virtualQuery = nullptr;
  ForgetAnswers(answers);
  EXPECT_TRUE(IsRangeReadable(answers, b + 3 * kPage, 4));
  EXPECT_FALSE(IsRangeReadable(answers, uintptr_t{0}, 4));
}

TEST_F(FrameQueryTest, BeyondItsSlotsARegionIsAskedAboutAgainAndJudgedAlike) {
  gState.api.virtualQuery = reinterpret_cast<VirtualQueryFn>(sim::StandIn("VirtualQuery"));
  // Pages of alternating protection, one region each: readable, no-access,
  // ..., readable, no-access.
  const uint32_t pages = kRegionAnswerSlots + 2;
  uintptr_t b = sim::MapAnywhere(pages * kPage, kPage, sim::kPageReadWrite);
  for (uint32_t i = 1; i < pages; i += 2) {
    sim::SetProtect(b + i * kPage, kPage, sim::kPageNoAccess);
  }
  const uint32_t asked = sim::Record().virtualQuery;
  RegionAnswers answers;
  ForgetAnswers(answers);
  for (uint32_t i = 0; i < pages; ++i) {
    EXPECT_EQ(IsRangeReadable(answers, b + i * kPage, 4), i % 2 == 0) << i;
  }
  EXPECT_EQ(sim::Record().virtualQuery - asked, pages);
  // The first answers and the newest are kept; those in between were dropped.
  EXPECT_EQ(answers.older, kRegionAnswerSlots - 1);
  EXPECT_TRUE(IsRangeReadable(answers, b + 8, 4));
  EXPECT_FALSE(IsRangeReadable(answers, b + (pages - 1) * kPage + 8, 4));
  EXPECT_EQ(sim::Record().virtualQuery - asked, pages);
  EXPECT_TRUE(IsRangeReadable(answers, b + (pages - 2) * kPage + 8, 4));
  EXPECT_EQ(sim::Record().virtualQuery - asked, pages + 1);
}

// Each kind of frame asks about each region it reads from once, in the order
// it reads: VHud's wheel byte, the radar byte only while the wheel is open,
// then the player record, whose page holds the icons' textures and rasters.
TEST_F(FrameQueryTest, EachKindOfFrameAsksAboutEachRegionOnceInOrder) {
  ASSERT_EQ(player_ & ~uintptr_t{kPage - 1}, health_ & ~uintptr_t{kPage - 1});
  const uintptr_t dead = standin::MakePlayer(0.0f);
  const struct {
    const char* what;
    void (*set)(uintptr_t vhud, uintptr_t dead);
    int which;  // bit 0 wheel, bit 1 radar, bit 2 player, bit 3 the dead player
    uint32_t draws;
  } kKinds[] = {
      {"steady", [](uintptr_t, uintptr_t) {}, 1 | 4, 2},
      {"wheel open", [](uintptr_t v, uintptr_t) { standin::SetWheelOpen(v, 1); }, 1 | 2 | 4, 0},
      {"menu", [](uintptr_t, uintptr_t) { standin::SetMenuActive(1); }, 1, 0},
      {"menu, wheel open",
       [](uintptr_t v, uintptr_t) {
         standin::SetMenuActive(1);
         standin::SetWheelOpen(v, 1);
       },
       1 | 2, 0},
      {"no player", [](uintptr_t, uintptr_t) { standin::SetPlayer(0); }, 1, 0},
      {"dead", [](uintptr_t, uintptr_t d) { standin::SetPlayer(d); }, 1 | 8, 0},
      {"image short of the wheel byte", [](uintptr_t, uintptr_t) { gState.vhudSize = 0x1049E32; },
       4, 2},
  };
  for (const auto& k : kKinds) {
    k.set(Vhud(), dead);
    std::vector<uintptr_t> expected;
    if (k.which & 1) expected.push_back(Wheel());
    if (k.which & 2) expected.push_back(Radar());
    if (k.which & 4) expected.push_back(player_);
    if (k.which & 8) expected.push_back(dead);
    uint32_t draws = standin::GameRecord()->drawCalls;
    // Twice: nothing is carried from one frame to the next.
    EXPECT_EQ(Frame(), expected) << k.what;
    EXPECT_EQ(Frame(), expected) << k.what;
    EXPECT_EQ(standin::GameRecord()->drawCalls - draws, 2 * k.draws) << k.what;
    standin::SetWheelOpen(Vhud(), 0);
    standin::SetMenuActive(0);
    standin::SetPlayer(player_);
    gState.vhudSize = world_.vhudSize;
    Frame();
  }
}

// An answer ends with its frame: a texture's page made unreadable between two
// frames is seen at once.
TEST_F(FrameQueryTest, ARegionThatChangesBetweenFramesIsSeenOnTheNextFrame) {
  uintptr_t page = sim::MapAnywhere(kPage, kPage, sim::kPageReadWrite);
  uint32_t raster = *reinterpret_cast<uint32_t*>(health_);
  memcpy(reinterpret_cast<void*>(page + 0x40), &raster, 4);
  gState.healthIcon.texture = static_cast<uint32_t>(page + 0x40);
  EXPECT_EQ(Frame(), (std::vector<uintptr_t>{Wheel(), player_, page + 0x40}));
  EXPECT_EQ(standin::GameRecord()->draws[standin::GameRecord()->drawCalls - 2].texture,
            page + 0x40);

  sim::SetProtect(page, kPage, sim::kPageNoAccess);
  uint32_t draws = standin::GameRecord()->drawCalls;
  EXPECT_EQ(Frame(), (std::vector<uintptr_t>{Wheel(), player_, page + 0x40}));
  ASSERT_EQ(standin::GameRecord()->drawCalls - draws, 1u);  // the armour icon alone
  EXPECT_EQ(standin::GameRecord()->draws[draws].texture, armour_);
}

// VHud's loader may make the memory it returns: what was said about a region
// before a load is not relied on after it.
uintptr_t gCommitOnLoad = 0;
uint32_t gLoaded = 0;
__attribute__((cdecl)) uint32_t CommittingLoader(const char*, const char*) {
  sim::SetState(gCommitOnLoad, 2 * kPage, sim::kMemCommit);
  return gLoaded;
}

TEST_F(FrameQueryTest, RegionsAreAskedAboutAfreshAfterVhudsLoader) {
  // A texture record, then its two pages reserved as a heap would keep them.
  uintptr_t pages = sim::MapAnywhere(2 * kPage, kPage, sim::kPageReadWrite);
  uint32_t raster = *reinterpret_cast<uint32_t*>(health_);
  memcpy(reinterpret_cast<void*>(pages + kPage + 0x10), &raster, 4);
  sim::SetState(pages, 2 * kPage, sim::kMemReserve);
  gCommitOnLoad = pages;
  gLoaded = static_cast<uint32_t>(pages + kPage + 0x10);
  uintptr_t loader = standin::LoadSpriteAddress(Vhud());
  uint32_t d = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&CommittingLoader)) -
               static_cast<uint32_t>(loader + 5);
  PokeCode(loader, {0xE9, uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)});
  // The health slot points into the reserved pages: unusable, so loaded.
  gState.healthIcon.texture = static_cast<uint32_t>(pages + 0x20);
  gState.iconRetryCountdown = 0;
  uint32_t draws = standin::GameRecord()->drawCalls;

  // The health raster lies in the player record's page, already described
  // before the load.
  EXPECT_EQ(Frame(), (std::vector<uintptr_t>{Wheel(), player_, pages + 0x20, gLoaded, raster}));
  EXPECT_EQ(TakeLines(), Lines({"[LOAD] health=" + Hex(gLoaded) +
                                " armour=" + Hex(static_cast<uint32_t>(armour_))}));
  ASSERT_EQ(standin::GameRecord()->drawCalls - draws, 2u);
  EXPECT_EQ(standin::GameRecord()->draws[draws].texture, gLoaded);
}

}  // namespace
}  // namespace hudtest
