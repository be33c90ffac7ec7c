// The slot-spacing patch keeps VHud's first instruction and replaces its
// second with a jump to the cave and a filler, in one locked 8-byte store:
// a thread standing on the site's instruction boundaries (+0, +3, +9) runs
// VHud's two instructions or the first one and the jump, never anything else.
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "test_wheel_support.h"

namespace wheel {
namespace {

// ---- Single-stepping the installer ------------------------------------------
// With the trap flag set, the kernel stops the thread after every
// instruction; the handler notes each distinct content of the nine bytes.
constexpr int kMaxStates = 16;
volatile uintptr_t gTracedSite = 0;
volatile uint32_t gSteps = 0;
volatile int gStateCount = 0;
uint8_t gStates[kMaxStates][9];

void OnTrap(int, siginfo_t*, void*) {
  gSteps = gSteps + 1;
  const volatile uint8_t* p = reinterpret_cast<const volatile uint8_t*>(gTracedSite);
  int n = gStateCount;
  bool same = n > 0;
  for (int i = 0; same && i < 9; ++i) same = gStates[n - 1][i] == p[i];
  if (!same && n < kMaxStates) {
    for (int i = 0; i < 9; ++i) gStates[n][i] = p[i];
    gStateCount = n + 1;
  }
}

__attribute__((noinline)) void InstallTraced() {
  __asm__ volatile("pushfl\n\torl $0x100, (%%esp)\n\tpopfl" ::: "memory", "cc");
  InstallSpacingPatch();
  __asm__ volatile("pushfl\n\tandl $0xFFFFFEFF, (%%esp)\n\tpopfl" ::: "memory", "cc");
}

class SpacingAtomic : public WheelTest {
 protected:
  uintptr_t Site() const { return base_ + kSpacingSite; }
  std::vector<uint8_t> Patched() const {
    std::vector<uint8_t> b = {0x8B, 0x7A, 0x44};
    std::vector<uint8_t> jump = Rel(0xE9, Site() + 3, reinterpret_cast<uintptr_t>(&SpacingCave));
    b.insert(b.end(), jump.begin(), jump.end());
    b.push_back(0x90);
    return b;
  }
};

TEST_F(SpacingAtomic, EveryInstructionBoundaryOfTheInstallerSeesVhudsBytesOrThePatch) {
  gTracedSite = Site();
  gSteps = 0;
  gStateCount = 0;
  struct sigaction trap = {};
  struct sigaction old = {};
  trap.sa_sigaction = OnTrap;
  trap.sa_flags = SA_SIGINFO;
  sigemptyset(&trap.sa_mask);
  ASSERT_EQ(0, sigaction(SIGTRAP, &trap, &old));
  OnTrap(0, nullptr, nullptr);  // the bytes before the first step
  InstallTraced();
  sigaction(SIGTRAP, &old, nullptr);

  EXPECT_GT(gSteps, 50u) << "the installer was not single-stepped";
  ASSERT_EQ(2, gStateCount);
  EXPECT_EQ(std::vector<uint8_t>(kSpacingBytes, kSpacingBytes + 9),
            std::vector<uint8_t>(gStates[0], gStates[0] + 9));
  EXPECT_EQ(Patched(), std::vector<uint8_t>(gStates[1], gStates[1] + 9));
  EXPECT_EQ(2u, Lines().size());
}

// Puts VHud's second instruction back as a careful other party would, the
// first instruction never changing: either +3..+10 in one locked store, or
// the filler's byte first (never run) and then +0..+7 in one locked store.
void RestoreVhudsBytes(uintptr_t site, bool fillerFirst) {
  uintptr_t page = site & ~uintptr_t{0xFFF};
  sim::SetProtect(page, 0x1000, sim::kPageExecuteReadWrite);
  uint64_t eight;
  if (fillerFirst) {
    __atomic_store_n(reinterpret_cast<uint8_t*>(site + 8), kSpacingBytes[8], __ATOMIC_SEQ_CST);
    memcpy(&eight, kSpacingBytes, 8);
    __atomic_exchange_n(reinterpret_cast<uint64_t*>(site), eight, __ATOMIC_SEQ_CST);
  } else {
    uint8_t bytes[8];
    memcpy(bytes, kSpacingBytes + 3, 6);
    memcpy(bytes + 6, reinterpret_cast<const void*>(site + 9), 2);
    memcpy(&eight, bytes, 8);
    __atomic_exchange_n(reinterpret_cast<uint64_t*>(site + 3), eight, __ATOMIC_SEQ_CST);
  }
  sim::SetProtect(page, 0x1000, sim::kPageExecuteRead);
}

// ---- Patched and restored under a running layout ------------------------------
// VHud placed where the earlier jump at +0 would have left a thread resuming
// at +3 in front of an invalid instruction, a far jump, a short jump out of
// the site or a stray store (see kSpacingPlacements).
class SpacingUnderLayout : public SpacingAtomic,
                           public ::testing::WithParamInterface<standin::SpacingPlacement> {
 protected:
  uintptr_t VhudAt() const override { return standin::VhudBaseFor(GetParam()); }

  void Restore(bool fillerFirst) { RestoreVhudsBytes(Site(), fillerFirst); }
};

// ---- A store landing while the layout stands on each boundary -----------------
// The layout runs single-stepped; the first time it is about to execute the
// instruction at `gStopAt`, the trap handler makes the store (the installer,
// or another party's restore) and the layout goes on with the new bytes.
enum class Store : uint8_t { Install, RestoreTail, RestoreFillerFirst };
volatile uintptr_t gStopAt = 0;
volatile bool gStopped = false;
Store gStore = Store::Install;
uintptr_t gSite = 0;

void StopAndStore(int, siginfo_t*, void* context) {
  uintptr_t eip = static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_EIP];
  if (gStopped || eip != gStopAt) return;
  gStopped = true;
  if (gStore == Store::Install) {
    InstallSpacingPatch();
  } else {
    RestoreVhudsBytes(gSite, gStore == Store::RestoreFillerFirst);
  }
}

__attribute__((noinline)) standin::SpacingCapture RunStepped(uintptr_t base,
                                                             const standin::SpacingInput& in) {
  __asm__ volatile("pushfl\n\torl $0x100, (%%esp)\n\tpopfl" ::: "memory", "cc");
  standin::SpacingCapture c = standin::RunSpacingLayout(base, in);
  __asm__ volatile("pushfl\n\tandl $0xFFFFFEFF, (%%esp)\n\tpopfl" ::: "memory", "cc");
  return c;
}

// A thread that has run VHud's first instruction when the patch lands goes
// on at +3, where it finds the jump; one that has run the jump when the
// restore lands is in the cave or back at +9. Either way the slot ends as
// VHud leaves it or moved, never with half of each.
TEST_P(SpacingUnderLayout, AStoreLandingAtEachBoundaryOfTheSiteLeavesVhudsOrTheMovedResult) {
  gSite = Site();
  const uintptr_t cave = reinterpret_cast<uintptr_t>(&SpacingCave);
  enum Result { kVhuds, kMoved };
  const struct {
    bool patchedBefore;
    uintptr_t stopAt;
    Store store;
    Result result;
  } cases[] = {
      {false, Site(), Store::Install, kMoved},
      {false, Site() + 3, Store::Install, kMoved},
      {false, Site() + 9, Store::Install, kVhuds},
      {true, Site(), Store::RestoreTail, kVhuds},
      {true, Site(), Store::RestoreFillerFirst, kVhuds},
      {true, Site() + 3, Store::RestoreTail, kVhuds},
      {true, Site() + 3, Store::RestoreFillerFirst, kVhuds},
      {true, cave, Store::RestoreTail, kMoved},
      {true, cave, Store::RestoreFillerFirst, kMoved},
      {true, Site() + 9, Store::RestoreTail, kMoved},
  };
  struct sigaction trap = {};
  struct sigaction old = {};
  trap.sa_sigaction = StopAndStore;
  trap.sa_flags = SA_SIGINFO;
  sigemptyset(&trap.sa_mask);
  ASSERT_EQ(0, sigaction(SIGTRAP, &trap, &old));
  const standin::SpacingInput in = LayoutInput(6, 900.0f, 930.0f);
  for (const auto& c : cases) {
    std::string what = "stop at site + " + std::to_string(c.stopAt - Site()) + ", store " +
                       std::to_string(static_cast<int>(c.store));
    if (c.patchedBefore) {
      InstallSpacingPatch();
    } else {
      Restore(false);
    }
    gStopAt = c.stopAt;
    gStopped = false;
    gStore = c.store;
    standin::SpacingCapture got = RunStepped(base_, in);
    EXPECT_TRUE(gStopped) << what;
    EXPECT_EQ(0u, standin::SpacingStateDiff(in, got)) << what;
    EXPECT_EQ(c.result == kMoved ? 948.0f : 900.0f, got.contentX) << what;
    EXPECT_EQ(c.result == kMoved ? 968.0f : 930.0f, got.ammoX) << what;
    EXPECT_EQ(c.store == Store::Install ? Patched()
                                        : std::vector<uint8_t>(kSpacingBytes, kSpacingBytes + 9),
              BytesAt(Site(), 9))
        << what;
  }
  sigaction(SIGTRAP, &old, nullptr);
  EXPECT_EQ(2u, Lines().size());
}

// A thread runs VHud's slot layout through the site without pause while the
// installer patches it and another party restores VHud's bytes. Every run
// ends as VHud's own nine bytes leave it, or moved by the cave with the same
// state otherwise. Bounded by cycles, not by time: after each change the
// layout completes two runs, the second wholly under the new bytes.
TEST_P(SpacingUnderLayout, EveryRunEndsAsVhudsOrMoved) {
  constexpr uint32_t kCycles = 500;
  const uint32_t base = static_cast<uint32_t>(base_);
  const standin::SpacingInput in = LayoutInput(2, 700.0f, 720.0f);
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> runs{0}, original{0}, moved{0}, other{0};
  std::atomic<uint32_t> firstOther{0};
  std::thread layout([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      standin::SpacingCapture c = standin::RunSpacingLayout(base_, in);
      uint32_t diff = standin::SpacingStateDiff(in, c);
      if (diff == 0 && c.contentX == 700.0f && c.ammoX == 720.0f) {
        ++original;
      } else if (diff == 0 && c.contentX == 652.0f && c.ammoX == 682.0f) {
        ++moved;
      } else if (other++ == 0) {
        firstOther = diff;
      }
      ++runs;
    }
  });
  // Two whole runs after each store: the second began once the store had
  // landed, so every cycle runs the patched and the original code at least
  // once. The wait's limit only ends a run that hangs.
  bool hung = false;
  auto twoRuns = [&] {
    uint32_t seen = runs.load();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (runs.load() < seen + 2 && !hung) {
      hung = std::chrono::steady_clock::now() > until;
      // A short sleep rather than a yield: the processor goes idle, and an
      // emulator running all processors on one thread turns to the other.
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  };
  for (uint32_t cycle = 0; cycle < kCycles && !hung; ++cycle) {
    InstallSpacingPatch();
    twoRuns();
    Restore(cycle % 2 == 1);
    twoRuns();
  }
  stop = true;
  layout.join();
  printf("placement %s (%02X %02X) at 0x%08X: %u cycles, %u runs: %u original, %u moved\n",
         GetParam().name, GetParam().atPlus3, GetParam().atPlus4, base, kCycles, runs.load(),
         original.load(), moved.load());
  RecordProperty("runs", static_cast<int>(runs.load()));
  RecordProperty("original", static_cast<int>(original.load()));
  RecordProperty("moved", static_cast<int>(moved.load()));
  EXPECT_FALSE(hung) << "the layout thread stopped running";
  EXPECT_EQ(0u, other.load()) << "first other outcome: state bits " << firstOther.load();
  EXPECT_GE(original.load(), kCycles);
  EXPECT_GE(moved.load(), kCycles);
  EXPECT_EQ(2u, Lines().size());
}

INSTANTIATE_TEST_SUITE_P(Placements, SpacingUnderLayout,
                         ::testing::ValuesIn(standin::kSpacingPlacements),
                         [](const ::testing::TestParamInfo<standin::SpacingPlacement>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace wheel
