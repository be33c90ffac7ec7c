// The nine-byte spacing patch goes in as one 8-byte store (jump, displacement
// and three fillers) followed by the last filler, so that a thread entering
// the site at any moment runs either VHud's two instructions or the jump.
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
  std::vector<uint8_t> Patched(uint8_t last) const {
    std::vector<uint8_t> b = RelBytes(0xE9, Site(), reinterpret_cast<uintptr_t>(&SpacingCave));
    b.insert(b.end(), {0x90, 0x90, 0x90, last});
    return b;
  }
  // Puts VHud's nine bytes back as a careful other party would: the byte
  // that the jump never executes first, then the other eight in one store.
  void Restore() {
    uintptr_t page = Site() & ~uintptr_t{0xFFF};
    sim::SetProtect(page, 0x1000, sim::kPageExecuteReadWrite);
    __atomic_store_n(reinterpret_cast<uint8_t*>(Site() + 8), kSpacingBytes[8], __ATOMIC_RELEASE);
    uint64_t head;
    memcpy(&head, kSpacingBytes, 8);
    __atomic_store_n(reinterpret_cast<uint64_t*>(Site()), head, __ATOMIC_RELEASE);
    sim::SetProtect(page, 0x1000, sim::kPageExecuteRead);
  }
};

TEST_F(SpacingAtomic, EveryInstructionBoundaryOfTheInstallerSeesAWholeJumpOrNone) {
  // The 8-byte store stays inside one cache line, where x86 makes it atomic.
  EXPECT_LE(Site() % 64 + 8, 64u);
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
  ASSERT_EQ(3, gStateCount);
  std::vector<uint8_t> states[3];
  for (int s = 0; s < 3; ++s) states[s].assign(gStates[s], gStates[s] + 9);
  EXPECT_EQ(std::vector<uint8_t>(kSpacingBytes, kSpacingBytes + 9), states[0]);
  EXPECT_EQ(Patched(0xFF), states[1]);  // one store: jump, displacement, three fillers
  EXPECT_EQ(Patched(0x90), states[2]);  // then the last filler
  EXPECT_EQ(2u, Lines().size());
}

// A second VHud image, placed so that the jump's displacement has EB 04 in
// its two high bytes: site + 3, where VHud's second instruction began, then
// holds a short jump to site + 9. A thread that has run VHud's first
// instruction when the store lands resumes at site + 3, inside the
// displacement; whatever bytes the addresses put there, it runs them. This
// placement makes that path end at the resume point instead of somewhere
// arbitrary, so that every run can be classified.
uintptr_t PlaceVhudForTheStress() {
  uint32_t base = static_cast<uint32_t>(standin::VhudBaseForSpacingResume());
  // Below the test program's own image, clear of the process's mappings.
  EXPECT_LT(base + standin::kVhudSizeOfImage, 0x08000000u);
  sim::MapFixed(base, standin::kVhudSizeOfImage, sim::kPageReadWrite);
  standin::BuildVhudImage(base, standin::kVhudSizeOfImage);
  sim::SetProtect(base + standin::kVhudCodeBegin, standin::kVhudCodeEnd - standin::kVhudCodeBegin,
                  sim::kPageExecuteRead);
  return base;
}

// A thread runs VHud's slot layout through the site without pause while the
// worker's installer patches it and another party restores VHud's bytes.
// Every run that enters the site sees VHud's two instructions or the jump to
// the cave; the only other outcome is the one no in-place patch can avoid: a
// run already past VHud's first instruction when the store lands (EDI loaded,
// ECX not set, nothing moved).
TEST_F(SpacingAtomic, LayoutRunsUnharmedWhileTheSiteIsPatchedAndRestored) {
  base_ = PlaceVhudForTheStress();
  gState.vhudBase = base_;
  ASSERT_EQ(0xEB, Patched(0x90)[3]);
  ASSERT_EQ(0x04, Patched(0x90)[4]);
  const standin::SpacingInput in = LayoutInput(2, 700.0f, 720.0f);
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> runs{0}, original{0}, moved{0}, midPair{0}, broken{0};
  std::thread layout([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      standin::SpacingCapture c = standin::RunSpacingLayout(base_, in);
      uint32_t diff = standin::SpacingStateDiff(in, c);
      bool unmoved = c.contentX == 700.0f && c.ammoX == 720.0f;
      if (diff == 0 && unmoved) {
        ++original;
      } else if (diff == 0 && c.contentX == 652.0f && c.ammoX == 682.0f) {
        ++moved;
      } else if (diff == 4 && unmoved && c.ecx == in.ecx) {
        ++midPair;
      } else {
        ++broken;
      }
      ++runs;
    }
  });
  // Two whole runs after each store: the second began once the store had
  // landed, so every cycle runs the patched and the original code at least
  // once. The wait's limit only ends a run that hangs.
  bool hung = false;
  auto waitForRuns = [&] {
    uint32_t seen = runs.load();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (runs.load() < seen + 2 && !hung) {
      hung = std::chrono::steady_clock::now() > until;
      // A short sleep rather than a yield: the processor goes idle, and an
      // emulator running all processors on one thread turns to the other.
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  };
  // At least 50 cycles, however slow the machine; up to 2000 while the first
  // 4 s last.
  auto budget = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  uint32_t cycles = 0;
  for (; cycles < 2000 && !hung && (cycles < 50 || std::chrono::steady_clock::now() < budget);
       ++cycles) {
    InstallSpacingPatch();
    waitForRuns();
    Restore();
    waitForRuns();
  }
  stop = true;
  layout.join();
  RecordProperty("cycles", static_cast<int>(cycles));
  RecordProperty("runs", static_cast<int>(runs.load()));
  RecordProperty("midPair", static_cast<int>(midPair.load()));
  printf("%u cycles, %u runs: %u VHud's, %u moved, %u resumed mid-pair\n", cycles, runs.load(),
         original.load(), moved.load(), midPair.load());
  EXPECT_FALSE(hung) << "the layout thread stopped running";
  EXPECT_GE(cycles, 50u);
  EXPECT_EQ(0u, broken.load());
  EXPECT_GE(original.load(), cycles);
  EXPECT_GE(moved.load(), cycles);
  EXPECT_EQ(2u, Lines().size());
}

}  // namespace
}  // namespace wheel
