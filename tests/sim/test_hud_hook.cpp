// Redirection of the game's HUD jump into the plug-in.
#include "entry/entry.h"
#include "test_hud_fixture.h"

namespace hudtest {
namespace {

class HudHookTest : public HudTest {};

TEST_F(HudHookTest, RedirectsJumpIntoVhudAndLogsOriginalAndHook) {
  ASSERT_EQ(JumpBytes(), JumpTo(HudRoutine()));
  EXPECT_EQ(InstallHudHook(), 1);

  EXPECT_EQ(JumpBytes(), JumpTo(HookAddress()));
  EXPECT_EQ(gState.savedHudTarget, HudRoutine());
  EXPECT_EQ(sim::LogLines(), Lines({"[HOOK] installed; original=" + Hex(HudRoutine()) +
                                    " hook=" + Hex(HookAddress())}));
  // Protection lifted for exactly the five bytes, then given back.
  const auto& protects = sim::Record().protects;
  ASSERT_EQ(protects.size(), 2u);
  EXPECT_EQ(protects[0].address, standin::kGameHudJump);
  EXPECT_EQ(protects[0].size, 5u);
  EXPECT_EQ(protects[0].newProtect, sim::kPageExecuteReadWrite);
  EXPECT_EQ(protects[1].address, standin::kGameHudJump);
  EXPECT_EQ(protects[1].size, 5u);
  EXPECT_EQ(protects[1].newProtect, sim::kPageExecuteRead);
  EXPECT_EQ(sim::ProtectOf(standin::kGameHudJump), sim::kPageExecuteRead);

  // The game's next frame passes through the plug-in into VHud's routine.
  standin::RunHudFrame();
  EXPECT_EQ(standin::VhudRecord()->hudRuns, 1u);
}

TEST_F(HudHookTest, AlreadyRedirectedJumpIsReportedWithoutWritingOrLogging) {
  ASSERT_EQ(InstallHudHook(), 1);
  size_t lines = sim::LogLines().size();
  size_t protects = sim::Record().protects.size();
  gState.savedHudTarget = 0x12345678;

  EXPECT_EQ(InstallHudHook(), 1);
  gState.vhudSize = 0;  // the size does not matter once the jump leads to the hook
  EXPECT_EQ(InstallHudHook(), 1);

  EXPECT_EQ(sim::LogLines().size(), lines);
  EXPECT_EQ(sim::Record().protects.size(), protects);
  EXPECT_EQ(gState.savedHudTarget, 0x12345678u);
  EXPECT_EQ(JumpBytes(), JumpTo(HookAddress()));
}

TEST_F(HudHookTest, NothingHappensBeforeVhudIsKnownOrWhenSiteIsNotAJump) {
  gState.vhudBase = 0;
  EXPECT_EQ(InstallHudHook(), 0);
  EXPECT_EQ(JumpBytes(), JumpTo(HudRoutine()));

  gState.vhudBase = Vhud();
  for (uint8_t opcode : {0xE8, 0xEB, 0x90, 0x00, 0xE9 ^ 0xFF}) {
    std::vector<uint8_t> site = JumpTo(HudRoutine());
    site[0] = opcode;
    PokeCode(standin::kGameHudJump, site);
    EXPECT_EQ(InstallHudHook(), 0) << int(opcode);
    EXPECT_EQ(JumpBytes(), site) << int(opcode);
  }
  EXPECT_TRUE(sim::LogLines().empty());
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
  EXPECT_EQ(gState.savedHudTarget, 0u);
  EXPECT_EQ(gState.hookWarned, 0);
}

TEST_F(HudHookTest, TargetAtVhudBaseIsInsideAndAtItsEndOutside) {
  // One past the end: outside.
  uint32_t end = static_cast<uint32_t>(Vhud()) + world_.vhudSize;
  SetJumpTarget(end);
  EXPECT_EQ(InstallHudHook(), 0);
  EXPECT_EQ(JumpBytes(), JumpTo(end));
  EXPECT_EQ(gState.savedHudTarget, 0u);
  EXPECT_EQ(sim::LogLines(), Lines({"[WARN] HUD jump target is outside VHud: " + Hex(end)}));

  // Last byte of the image: inside.
  SetJumpTarget(end - 1);
  EXPECT_EQ(InstallHudHook(), 1);
  EXPECT_EQ(gState.savedHudTarget, end - 1);

  // The base itself: inside.
  SetJumpTarget(static_cast<uint32_t>(Vhud()));
  EXPECT_EQ(InstallHudHook(), 1);
  EXPECT_EQ(gState.savedHudTarget, static_cast<uint32_t>(Vhud()));
  EXPECT_EQ(JumpBytes(), JumpTo(HookAddress()));
  EXPECT_EQ(sim::LogLines(),
            Lines({"[WARN] HUD jump target is outside VHud: " + Hex(end),
                   "[HOOK] installed; original=" + Hex(end - 1) + " hook=" + Hex(HookAddress()),
                   "[HOOK] installed; original=" + Hex(static_cast<uint32_t>(Vhud())) +
                       " hook=" + Hex(HookAddress())}));
}

TEST_F(HudHookTest, OutsideTargetIsWarnedOnceAndNeverWritten) {
  uint32_t below = static_cast<uint32_t>(Vhud()) - 1;
  SetJumpTarget(below);
  EXPECT_EQ(InstallHudHook(), 0);
  EXPECT_EQ(InstallHudHook(), 0);
  SetJumpTarget(0x00401000);
  EXPECT_EQ(InstallHudHook(), 0);

  EXPECT_EQ(sim::LogLines(), Lines({"[WARN] HUD jump target is outside VHud: " + Hex(below)}));
  EXPECT_EQ(gState.hookWarned, 1);
  EXPECT_EQ(JumpBytes(), JumpTo(0x00401000));
  EXPECT_EQ(gState.savedHudTarget, 0u);
  EXPECT_EQ(sim::Record().virtualProtect, 0u);
}

TEST_F(HudHookTest, DisplacementWrapsAroundAndImageEndIsComputedIn32Bits) {
  // rel32 = -16: the target is 0x58FAD5, below the jump.
  PokeCode(standin::kGameHudJump, {0xE9, 0xF0, 0xFF, 0xFF, 0xFF});

  // An image whose end wraps past 2^32 to 0x10 holds nothing at 0x58FAD5.
  gState.vhudBase = 0x00580000;
  gState.vhudSize = 0xFFA80010;
  EXPECT_EQ(InstallHudHook(), 0);
  EXPECT_EQ(sim::LogLines(), Lines({"[WARN] HUD jump target is outside VHud: 0x0058FAD5"}));

  gState.vhudBase = 0x0058FAD5;
  gState.vhudSize = 1;
  EXPECT_EQ(InstallHudHook(), 1);
  EXPECT_EQ(gState.savedHudTarget, 0x0058FAD5u);
  EXPECT_EQ(JumpBytes(), JumpTo(HookAddress()));
  EXPECT_EQ(sim::LogLines().back(),
            "[HOOK] installed; original=0x0058FAD5 hook=" + Hex(HookAddress()));
}

TEST_F(HudHookTest, RefusedProtectionChangeLogsEveryTimeWritesNothingButSavesTarget) {
  sim::Fault().virtualProtectFailAll = true;
  gState.savedHudTarget = 0;
  EXPECT_EQ(InstallHudHook(), 0);
  EXPECT_EQ(gState.savedHudTarget, HudRoutine());
  EXPECT_EQ(InstallHudHook(), 0);

  EXPECT_EQ(JumpBytes(), JumpTo(HudRoutine()));
  EXPECT_EQ(sim::LogLines(), Lines({"[ERR] VirtualProtect failed while installing hook",
                                    "[ERR] VirtualProtect failed while installing hook"}));
  EXPECT_EQ(sim::ProtectOf(standin::kGameHudJump), sim::kPageExecuteRead);

  // The game's frames still reach VHud's routine directly.
  standin::RunHudFrame();
  EXPECT_EQ(standin::VhudRecord()->hudRuns, 1u);
  EXPECT_EQ(gState.lastLoggedState, -1);

  sim::Fault().virtualProtectFailAll = false;
  EXPECT_EQ(InstallHudHook(), 1);
  EXPECT_EQ(JumpBytes(), JumpTo(HookAddress()));
}

TEST_F(HudHookTest, JumpRepointedInsideVhudIsTakenOverAgain) {
  ASSERT_EQ(InstallHudHook(), 1);
  // VHud points the jump at a new entry, which leads on to its HUD routine.
  uint32_t newEntry = static_cast<uint32_t>(Vhud()) + 0x2000;
  std::vector<uint8_t> entry = {0xE9, 0, 0, 0, 0};
  uint32_t d = HudRoutine() - (newEntry + 5);
  memcpy(&entry[1], &d, 4);
  PokeCode(newEntry, entry);
  SetJumpTarget(newEntry);

  // Until the hook is made again the game bypasses the plug-in.
  standin::RunHudFrame();
  EXPECT_EQ(standin::VhudRecord()->hudRuns, 1u);
  EXPECT_EQ(gState.lastLoggedState, -1);

  EXPECT_EQ(InstallHudHook(), 1);
  EXPECT_EQ(gState.savedHudTarget, newEntry);
  EXPECT_EQ(JumpBytes(), JumpTo(HookAddress()));
  EXPECT_EQ(
      sim::LogLines(),
      Lines({"[HOOK] installed; original=" + Hex(HudRoutine()) + " hook=" + Hex(HookAddress()),
             "[HOOK] installed; original=" + Hex(newEntry) + " hook=" + Hex(HookAddress())}));

  standin::RunHudFrame();
  EXPECT_EQ(standin::VhudRecord()->hudRuns, 2u);
  EXPECT_EQ(gState.lastLoggedState, 6);  // no player set
}

// The game-side caller that every frame test relies on notices a routine that
// leaves the stack or a callee-saved register changed.
TEST_F(HudHookTest, GameSideCallerNoticesBrokenCallingContract) {
  const struct {
    std::vector<uint8_t> code;
    uint32_t fault;
  } kRoutines[] = {
      {{0xC3}, 0},                          // ret
      {{0xC2, 0x04, 0x00}, 1},              // ret 4
      {{0x31, 0xDB, 0xC3}, 2},              // xor ebx, ebx; ret
      {{0x31, 0xF6, 0xC3}, 4},              // xor esi, esi; ret
      {{0x31, 0xFF, 0xC3}, 8},              // xor edi, edi; ret
      {{0x31, 0xED, 0xC3}, 16},             // xor ebp, ebp; ret
      {{0x58, 0x5B, 0x53, 0x50, 0xC3}, 2},  // EBX taken from the stack
  };
  uint32_t routine = static_cast<uint32_t>(Vhud()) + 0x3000;
  for (const auto& r : kRoutines) {
    PokeCode(routine, r.code);
    SetJumpTarget(routine);
    standin::RunHudFrame();
    EXPECT_EQ(standin::GameRecord()->lastFrameFault, r.fault) << r.fault;
  }
  standin::ClearGameRecord();
}

// ---- Through the worker ------------------------------------------------------

class HudHookWorkerTest : public HudTest {
 protected:
  void SetUp() override {
    sim::Reset();
    world_ = standin::BuildWorld(/*addModule=*/true);
  }
  void Attach() { ASSERT_EQ(DllMain(nullptr, 1, nullptr), 1); }
  static size_t Find(const Lines& lines, const std::string& line) {
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == line) return i;
    }
    return lines.size();
  }
};

TEST_F(HudHookWorkerTest, WorkerPlacesHookOnFirstAttemptAndMovesToMaintenance) {
  Attach();
  ASSERT_TRUE(sim::WaitForSleeps(2));
  sim::StopWorker();

  Lines lines = sim::LogLines();
  std::string hookLine =
      "[HOOK] installed; original=" + Hex(HudRoutine()) + " hook=" + Hex(HookAddress());
  size_t base = Find(lines, "[OK] VHud.asi base=" + Hex(static_cast<uint32_t>(Vhud())) +
                                " size=" + Hex(standin::kVhudSizeOfImage));
  size_t hook = Find(lines, hookLine);
  ASSERT_LT(base, lines.size());
  ASSERT_LT(hook, lines.size());
  EXPECT_LT(base, hook);
  // Exactly one redirection, and the first phase ended without a 100 ms sleep.
  size_t hooks = 0;
  for (const auto& line : lines) hooks += line.rfind("[HOOK]", 0) == 0;
  EXPECT_EQ(hooks, 1u);
  ASSERT_GE(sim::Record().sleeps.size(), 2u);
  EXPECT_EQ(sim::Record().sleeps[0], 500u);
  EXPECT_EQ(sim::Record().sleeps[1], 500u);
  EXPECT_EQ(gState.savedHudTarget, HudRoutine());
  EXPECT_EQ(JumpBytes(), JumpTo(HookAddress()));

  // A game frame now runs through the plug-in.
  standin::SetPlayer(standin::MakePlayer(100.0f));
  standin::RunHudFrame();
  EXPECT_EQ(standin::VhudRecord()->hudRuns, 1u);
  EXPECT_EQ(gState.lastLoggedState, 0);
}

// Runs on the worker thread at its third Sleep: the site becomes a jump.
void MakeSiteAJumpAtThirdSleep(uint32_t count, uint32_t) {
  if (count == 3) {
    PokeCode(standin::kGameHudJump, {0xE9});
  }
}

TEST_F(HudHookWorkerTest, WorkerPollsEvery100MsUntilHookIsPlaced) {
  std::vector<uint8_t> site = JumpTo(HudRoutine());
  site[0] = 0xE8;
  PokeCode(standin::kGameHudJump, site);
  sim::SetSleepHook(&MakeSiteAJumpAtThirdSleep);
  Attach();
  ASSERT_TRUE(sim::WaitForSleeps(5));
  sim::StopWorker();

  const auto& sleeps = sim::Record().sleeps;
  ASSERT_GE(sleeps.size(), 5u);
  EXPECT_EQ(std::vector<uint32_t>(sleeps.begin(), sleeps.begin() + 5),
            std::vector<uint32_t>({100, 100, 100, 500, 500}));
  EXPECT_EQ(JumpBytes(), JumpTo(HookAddress()));
  size_t hooks = 0;
  for (const auto& line : sim::LogLines()) {
    hooks +=
        line == "[HOOK] installed; original=" + Hex(HudRoutine()) + " hook=" + Hex(HookAddress());
  }
  EXPECT_EQ(hooks, 1u);
}

}  // namespace
}  // namespace hudtest

namespace hudtest {
namespace {

// Another party re-points the jump after the hook read it and while the hook
// has the page writable: the hook must not overwrite that target unseen.
uint32_t gRepointTo = 0;
int32_t QI_STDCALL VirtualProtectThenRepoint(void* address, uint32_t size, uint32_t protect,
                                             uint32_t* old) {
  int32_t result = reinterpret_cast<VirtualProtectFn>(sim::StandIn("VirtualProtect"))(address, size,
                                                                                      protect, old);
  if (result != 0 && protect == sim::kPageExecuteReadWrite && gRepointTo != 0) {
    uint32_t d = gRepointTo - static_cast<uint32_t>(standin::kGameHudJumpEnd);
    __atomic_store_n(reinterpret_cast<uint32_t*>(standin::kGameHudJump + 1), d, __ATOMIC_RELEASE);
    gRepointTo = 0;
  }
  return result;
}

TEST_F(HudHookTest, TargetSetByAnotherPartyDuringTheWriteIsTakenOverNotLost) {
  const uint32_t newer = static_cast<uint32_t>(HudRoutine()) + 0x40;
  gRepointTo = newer;
  gState.api.virtualProtect = &VirtualProtectThenRepoint;

  EXPECT_EQ(InstallHudHook(), 0);
  EXPECT_EQ(JumpBytes(), JumpTo(newer));
  EXPECT_TRUE(sim::LogLines().empty());
  EXPECT_EQ(sim::ProtectOf(standin::kGameHudJump), sim::kPageExecuteRead);

  EXPECT_EQ(InstallHudHook(), 1);
  EXPECT_EQ(JumpBytes(), JumpTo(HookAddress()));
  EXPECT_EQ(gState.savedHudTarget, newer);
  EXPECT_EQ(sim::LogLines(),
            Lines({"[HOOK] installed; original=" + Hex(newer) + " hook=" + Hex(HookAddress())}));
}

}  // namespace
}  // namespace hudtest
