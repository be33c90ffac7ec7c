// Faults of the platform and of timing, end to end: the plug-in attached to
// the stand-in game with VHud, the worker's first pass, frames on the
// game's thread, detach. Each case states what must be patched, what the
// frames do and the exact log.
//
// The worker is held at its first 500 ms sleep (the first sleep of its
// second phase) while the case runs frames and detaches, so that the number
// of passes, and with it the log, is the same on every run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "entry/entry.h"
#include "hud/hud.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "standin/vhud_image.h"
#include "standin/vhud_wheel.h"
#include "state/plugin_state.h"
#include "test_values.h"
#include "wheel/wheel.h"

namespace faults {
namespace {

using Lines = std::vector<std::string>;

const char* const kBoot[3] = {
    "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started",
    "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk",
    "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide + hide "
    "custom health/armour icons while wheel open"};
const char* const kWorkerStarted = "[THREAD] worker started";
const char* const kNotFound = "[ERR] VHud.asi not found";
const char* const kSpacingOk[2] = {
    "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
    "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use "
    "screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8"};
const char* const kCentreOk[2] = {
    "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
    "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)"};
const char* const kStaticRefused = "[WHEEL][ERR] VirtualProtect failed";
const char* const kSpacingRefused = "[WHEEL][ERR] VirtualProtect failed for content-offset patch";
const char* const kCentreRefused = "[WHEEL][ERR] VirtualProtect failed for centre-text patch";
const char* const kHookRefused = "[ERR] VirtualProtect failed while installing hook";
const char* const kAllowed = "[STATE] drawing allowed";
const char* const kNoPlayer = "[STATE] hidden: player ped unavailable";
const char* const kMenu = "[STATE] hidden: menu active";
const char* const kStop = "[STOP] DLL detach";

using testvalues::Hex;

uint32_t Address(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

std::vector<uint8_t> BytesAt(uintptr_t at, uint32_t n) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(at);
  return std::vector<uint8_t>(p, p + n);
}

std::vector<uint8_t> Rel(uint8_t opcode, uintptr_t site, uintptr_t target) {
  uint32_t d = static_cast<uint32_t>(target) - static_cast<uint32_t>(site + 5);
  return {opcode, static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8),
          static_cast<uint8_t>(d >> 16), static_cast<uint8_t>(d >> 24)};
}

// ---- Holding the worker ------------------------------------------------------------------
// The worker stops at the start of a chosen sleep (its first 500 ms sleep,
// or its n-th sleep) until the case releases it.
struct Hold {
  std::mutex mutex;
  std::condition_variable cv;
  bool reached = false;
  bool released = false;
  uint32_t atCount = 0;    // 0: the first 500 ms sleep
  uint32_t heldCount = 0;  // the sleep number at which it stopped
};
Hold* gHold = nullptr;
std::atomic<uint32_t> gSleepsSeen{0};

void HoldingSleepHook(uint32_t count, uint32_t milliseconds) {
  gSleepsSeen.store(count);
  Hold* h = gHold;
  if (h == nullptr) return;
  std::unique_lock<std::mutex> lock(h->mutex);
  if (h->reached) return;
  bool here = h->atCount == 0 ? milliseconds == 500 : count == h->atCount;
  if (!here) return;
  h->reached = true;
  h->heldCount = count;
  h->cv.notify_all();
  h->cv.wait(lock, [h] { return h->released; });
}

// ---- The run -----------------------------------------------------------------------------------
class FaultRun {
 public:
  // A fresh process with the game and VHud (VHud in the loader list unless
  // `vhud` is false), an alive player and two usable icons.
  explicit FaultRun(bool vhud = true) {
    sim::Reset();
    world_ = standin::BuildWorld(vhud);
    health_ = static_cast<uint32_t>(standin::MakeTexture(32, 32));
    armour_ = static_cast<uint32_t>(standin::MakeTexture(32, 32));
    standin::SetLoadResults(health_, armour_);
    player_ = standin::MakePlayer(100.0f);
    standin::SetPlayer(player_);
    vhudBefore_ = Image();
    gameBefore_ = GameCode();
    gHold = &hold_;
    gSleepsSeen = 0;
    sim::SetSleepHook(&HoldingSleepHook);
    exports_ = sim::DefaultKernel32Exports();
  }
  ~FaultRun() {
    Release();
    sim::StopWorker();
    gHold = nullptr;
  }

  void Remove(const std::vector<std::string>& names) {
    std::vector<sim::Export> kept;
    for (const sim::Export& e : exports_) {
      bool drop = false;
      for (const std::string& n : names) drop = drop || e.name == n;
      if (!drop) kept.push_back(e);
    }
    exports_ = kept;
    sim::RebuildKernel32(exports_);
  }
  void Replace(const std::string& name, uintptr_t address) {
    for (sim::Export& e : exports_) {
      if (e.name == name) e.address = address;
    }
    sim::RebuildKernel32(exports_);
  }

  // Takes the images that ExpectOnlySitesChanged and Untouched compare with
  // again, after the case changed data in them.
  void Resnapshot() {
    vhudBefore_ = Image();
    gameBefore_ = GameCode();
  }
  void HoldAtSleep(uint32_t count) { hold_.atCount = count; }
  // Attaches and waits until the worker is held (when it runs at all).
  void Attach(bool expectWorker = true) {
    ASSERT_EQ(1, DllMain(nullptr, kDllProcessAttach, nullptr));
    if (!expectWorker) return;
    std::unique_lock<std::mutex> lock(hold_.mutex);
    ASSERT_TRUE(hold_.cv.wait_for(lock, std::chrono::seconds(20), [this] { return hold_.reached; }))
        << "the worker never reached the sleep it is held at";
  }
  void Release() {
    std::lock_guard<std::mutex> lock(hold_.mutex);
    hold_.released = true;
    hold_.cv.notify_all();
  }
  void Detach() { ASSERT_EQ(1, DllMain(nullptr, kDllProcessDetach, nullptr)); }
  // Releases the worker and expects it to end by itself without another
  // sleep: every sleep it makes before it ends is counted once it is joined.
  void ExpectWorkerEndsAfterRelease() {
    uint32_t held = hold_.heldCount;
    Release();
    sim::StopWorker();
    EXPECT_EQ(held, gSleepsSeen.load()) << "the worker slept again after the stop flag was set";
  }
  void Frames(int n) {
    for (int i = 0; i < n; ++i) standin::RunHudFrame();
  }

  std::vector<uint8_t> Image() const { return BytesAt(world_.vhudBase, world_.vhudSize); }
  static std::vector<uint8_t> GameCode() {
    std::vector<uint8_t> all;
    for (uint32_t i = 0; i < standin::kGameCodePageCount; ++i) {
      std::vector<uint8_t> page = BytesAt(standin::kGameCodePages[i], sim::kPageSize);
      all.insert(all.end(), page.begin(), page.end());
    }
    return all;
  }

  // Which of the nine sites hold the plug-in's bytes: bit 0 the static-slot
  // call, 1 the spacing site, 2..7 the centre-text operands, 8 the HUD jump.
  uint32_t Patched() const {
    uintptr_t b = world_.vhudBase;
    uint32_t bits = 0;
    if (BytesAt(b + 0x6CDA8, 5) == Rel(0xE8, b + 0x6CDA8, Address((void*)&StaticSlotRotate))) {
      bits |= 1;
    }
    std::vector<uint8_t> cave = {0x8B, 0x7A, 0x44};
    std::vector<uint8_t> jump = Rel(0xE9, b + 0x6BBDC, Address((void*)&SpacingCave));
    cave.insert(cave.end(), jump.begin(), jump.end());
    cave.push_back(0x90);
    if (BytesAt(b + 0x6BBD9, 9) == cave) bits |= 2;
    const float* targets[6] = {&gState.nameY,       &gState.centreTextX, &gState.countY,
                               &gState.centreTextX, &gState.arrowY,      &gState.centreTextX};
    for (int i = 0; i < 6; ++i) {
      uint32_t operand;
      memcpy(&operand, reinterpret_cast<const void*>(b + standin::kCentreTextSiteOffsets[i] + 4),
             4);
      if (operand == Address(targets[i])) bits |= 4u << i;
    }
    if (BytesAt(standin::kGameHudJump, 5) ==
        Rel(0xE9, standin::kGameHudJump, Address((void*)&HudFrameHook))) {
      bits |= 0x100;
    }
    return bits;
  }
  // Nothing but the plug-in's own bytes changed in VHud's image and in the
  // game's code pages.
  void ExpectOnlySitesChanged() const {
    std::vector<uint8_t> now = Image();
    uintptr_t b = world_.vhudBase;
    auto owned = [&](uint32_t off) {
      if (off > 0x6CDA8 && off < 0x6CDAD) return true;
      if (off >= 0x6BBDC && off < 0x6BBE2) return true;  // the jump and its filler
      for (uint32_t s : standin::kCentreTextSiteOffsets) {
        if (off >= s + 4 && off < s + 8) return true;
      }
      return false;
    };
    for (uint32_t i = 0; i < now.size(); ++i) {
      if (now[i] != vhudBefore_[i] && !owned(i)) {
        ADD_FAILURE() << "VHud byte at +" << Hex(i) << " changed";
        break;
      }
    }
    (void)b;
    std::vector<uint8_t> game = GameCode();
    for (uint32_t i = 0; i < game.size(); ++i) {
      uintptr_t at = standin::kGameCodePages[i / sim::kPageSize] + i % sim::kPageSize;
      if (game[i] != gameBefore_[i] &&
          !(at > standin::kGameHudJump && at < standin::kGameHudJumpEnd)) {
        ADD_FAILURE() << "game code byte at " << Hex(static_cast<uint32_t>(at)) << " changed";
        break;
      }
    }
  }
  bool Untouched() const { return Image() == vhudBefore_ && GameCode() == gameBefore_; }

  // The lines of a normal start: boot, worker, VHud, the wheel patches, the
  // hook.
  Lines StartLines() const {
    uintptr_t b = world_.vhudBase;
    return {kBoot[0],
            kBoot[1],
            kBoot[2],
            kWorkerStarted,
            "[OK] VHud.asi base=" + Hex(static_cast<uint32_t>(b)) + " size=0x0104A000",
            "[WHEEL][OK] static-slot patch installed; original RotateVertices=" +
                Hex(static_cast<uint32_t>(b + 0x50290)),
            kSpacingOk[0],
            kSpacingOk[1],
            kCentreOk[0],
            kCentreOk[1],
            HookLine()};
  }
  std::string HookLine() const {
    return "[HOOK] installed; original=" +
           Hex(static_cast<uint32_t>(standin::HudRoutineAddress(world_.vhudBase))) +
           " hook=" + Hex(Address((void*)&HudFrameHook));
  }
  // What three frames with a living player and usable icons write.
  Lines FrameLines() const {
    return {"[INFO] player pointer changed -> " + Hex(static_cast<uint32_t>(player_)), kAllowed,
            "[LOAD] health=" + Hex(health_) + " armour=" + Hex(armour_),
            "[DRAW] first successful draw health=" + Hex(health_) + " armour=" + Hex(armour_)};
  }

  standin::World world_{};
  uint32_t health_ = 0, armour_ = 0;
  uintptr_t player_ = 0;

 private:
  std::vector<uint8_t> vhudBefore_, gameBefore_;
  Hold hold_;
  std::vector<sim::Export> exports_;
};

Lines Join(std::initializer_list<Lines> parts) {
  Lines out;
  for (const Lines& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Lines LogLines() {
  bool crlf = false;
  Lines lines = sim::LogLines(&crlf);
  EXPECT_TRUE(crlf) << "a line did not end in CR LF";
  return lines;
}

bool LogExists() {
  struct stat st;
  return stat((sim::WorkDir() + "/Quorvel_Icons.log").c_str(), &st) == 0;
}

constexpr uint32_t kAllSites = 0x1FF;

// ---- kernel32 entries missing ------------------------------------------------------------------

TEST(Faults, EachKernel32EntryMissingAloneAndTheOptionalOnesTogether) {
  const std::vector<std::vector<std::string>> cases = {
      {"CreateThread"},
      {"Sleep"},
      {"VirtualProtect"},
      {"VirtualQuery"},
      {"CreateFileA"},
      {"WriteFile"},
      {"FlushFileBuffers"},
      {"CloseHandle"},
      {"VirtualQuery", "CreateFileA", "WriteFile", "FlushFileBuffers", "CloseHandle"}};
  for (const std::vector<std::string>& missing : cases) {
    std::string name = missing.size() == 1 ? missing[0] : "all optional entries";
    SCOPED_TRACE("without " + name);
    FaultRun run;
    run.Remove(missing);
    bool inert =
        missing[0] == "CreateThread" || missing[0] == "Sleep" || missing[0] == "VirtualProtect";
    run.Attach(!inert);
    run.Frames(3);
    run.Detach();
    const standin::GameRecorder* game = standin::GameRecord();
    EXPECT_EQ(3u, standin::VhudRecord()->hudRuns);
    if (inert) {
      // Nothing at all: no log, no thread, nothing patched; frames go
      // straight to VHud.
      EXPECT_FALSE(LogExists());
      EXPECT_EQ(0u, sim::ThreadsStarted());
      EXPECT_TRUE(run.Untouched());
      EXPECT_EQ(0u, game->drawCalls);
      EXPECT_EQ(1, gState.stopRequested);
      continue;
    }
    EXPECT_EQ(kAllSites, run.Patched());
    run.ExpectOnlySitesChanged();
    EXPECT_EQ(6u, game->drawCalls) << "both icons on each of three frames";
    Lines full = Join({run.StartLines(), run.FrameLines(), {kStop}});
    if (name == "CreateFileA" || missing.size() > 1) {
      EXPECT_FALSE(LogExists());
      EXPECT_EQ(0u, sim::Record().writeFile);
    } else if (name == "WriteFile") {
      EXPECT_TRUE(LogExists());
      EXPECT_EQ("", sim::ReadLog());
      EXPECT_EQ(0u, sim::Record().flushFileBuffers);
    } else {
      EXPECT_EQ(full, LogLines());
    }
    if (name == "VirtualQuery" || missing.size() > 1) {
      EXPECT_EQ(0u, sim::Record().virtualQuery);
    }
    if (name == "FlushFileBuffers") {
      EXPECT_EQ(0u, sim::Record().flushFileBuffers);
    }
    if (name == "CloseHandle") {
      EXPECT_EQ(0u, sim::Record().closeHandle);
      EXPECT_NE(QI_INVALID_HANDLE, gState.logFile) << "without CloseHandle the log stays open";
    } else if (missing.size() == 1) {
      EXPECT_EQ(QI_INVALID_HANDLE, gState.logFile);
    }
    run.ExpectWorkerEndsAfterRelease();
  }
}

// ---- VirtualProtect refusing -------------------------------------------------------------------

// The first pass lifts the nine sites in this order: the static-slot call,
// the spacing site, the six centre-text operands, the HUD jump.
TEST(Faults, VirtualProtectRefusingEachLiftOfTheFirstPass) {
  for (int n = 1; n <= 9; ++n) {
    SCOPED_TRACE("lift " + std::to_string(n) + " refused");
    FaultRun run;
    sim::Fault().virtualProtectFailAt = n;
    run.Attach();
    // Whatever was refused is in place by the first pass of the second
    // phase, without a second report.
    EXPECT_EQ(kAllSites, run.Patched());
    run.ExpectOnlySitesChanged();
    run.Frames(3);
    run.Detach();
    Lines start = run.StartLines();
    if (n == 1) {
      start[5] = kStaticRefused;
    } else if (n == 2) {
      start.erase(start.begin() + 6, start.begin() + 8);
      start.insert(start.begin() + 6, kSpacingRefused);
    } else if (n <= 8) {
      // One centre-text site refused: its report, and never the success.
      start.erase(start.begin() + 8, start.begin() + 10);
      start.insert(start.begin() + 8, kCentreRefused);
    } else {
      // The hook refused in the first attempt, placed in the second.
      start.insert(start.begin() + 10, kHookRefused);
      EXPECT_EQ((std::vector<uint32_t>{100, 500}), sim::Record().sleeps);
    }
    EXPECT_EQ(Join({start, run.FrameLines(), {kStop}}), LogLines());
    EXPECT_EQ(6u, standin::GameRecord()->drawCalls);
    run.ExpectWorkerEndsAfterRelease();
  }
}

TEST(Faults, VirtualProtectRefusingEveryLift) {
  FaultRun run;
  sim::Fault().virtualProtectFailAll = true;
  run.Attach();
  EXPECT_EQ(0u, run.Patched());
  EXPECT_TRUE(run.Untouched());
  run.Frames(3);
  run.Detach();
  // The wheel installers report once each; the hook's refusal is written
  // at every one of the 400 attempts and at the first pass of the second
  // phase. Frames go straight to VHud.
  Lines want = {
      kBoot[0],
      kBoot[1],
      kBoot[2],
      kWorkerStarted,
      "[OK] VHud.asi base=" + Hex(static_cast<uint32_t>(run.world_.vhudBase)) + " size=0x0104A000",
      kStaticRefused,
      kSpacingRefused,
      kCentreRefused};
  for (int i = 0; i < 401; ++i) want.push_back(kHookRefused);
  want.push_back(kStop);
  EXPECT_EQ(want, LogLines());
  EXPECT_EQ(0u, standin::GameRecord()->drawCalls);
  EXPECT_EQ(3u, standin::VhudRecord()->hudRuns);
  // The saved target was stored before every refused write.
  EXPECT_EQ(standin::HudRoutineAddress(run.world_.vhudBase), gState.savedHudTarget);
  run.ExpectWorkerEndsAfterRelease();
}

// The restoring call refused: the patches are in place, the pages stay
// writable, nothing is reported.
std::atomic<uint32_t> gRestoresRefused{0};
int32_t QI_STDCALL RefuseRestoring(void* address, uint32_t size, uint32_t newProtect,
                                   uint32_t* oldProtect) {
  if (newProtect != sim::kPageExecuteReadWrite) {
    ++gRestoresRefused;
    return 0;
  }
  return reinterpret_cast<VirtualProtectFn>(sim::StandIn("VirtualProtect"))(address, size,
                                                                            newProtect, oldProtect);
}

TEST(Faults, VirtualProtectRefusingToPutProtectionBack) {
  FaultRun run;
  gRestoresRefused = 0;
  run.Replace("VirtualProtect", reinterpret_cast<uintptr_t>(&RefuseRestoring));
  run.Attach();
  EXPECT_EQ(kAllSites, run.Patched());
  // Three restores refused: the static-slot call's page, the spacing site's
  // page and the game's page then stay writable, so the later lifts on them
  // find PAGE_EXECUTE_READWRITE and "restore" that.
  EXPECT_EQ(3u, gRestoresRefused.load());
  EXPECT_EQ(sim::kPageExecuteReadWrite, sim::ProtectOf(standin::kGameHudJump));
  EXPECT_EQ(sim::kPageExecuteReadWrite, sim::ProtectOf(run.world_.vhudBase + 0x6BBD9));
  run.Frames(3);
  run.Detach();
  EXPECT_EQ(Join({run.StartLines(), run.FrameLines(), {kStop}}), LogLines());
  run.ExpectWorkerEndsAfterRelease();
}

// ---- VirtualQuery failing ----------------------------------------------------------------------

TEST(Faults, VirtualQueryFailingMakesEveryGuardedRangeUnreadable) {
  FaultRun run;
  sim::Fault().virtualQueryFail = true;
  standin::SetWheelOpen(run.world_.vhudBase, 1);
  standin::SetRadarEnabled(run.world_.vhudBase, 1);
  run.Resnapshot();
  run.Attach();
  // The static-slot call and the centre-text operands are read only after
  // the query: left alone, silently. The spacing site and the hook need no
  // query.
  EXPECT_EQ(0x102u, run.Patched());
  run.ExpectOnlySitesChanged();
  run.Frames(3);
  run.Detach();
  // The radar is not suppressed (its bytes count as unreadable), the
  // player's record counts as unreadable: state 6, nothing drawn.
  const standin::VhudRecorder* vhud = standin::VhudRecord();
  ASSERT_EQ(3u, vhud->hudRuns);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(1, vhud->radarSeen[i]);
  EXPECT_EQ(0u, standin::GameRecord()->drawCalls);
  Lines start = run.StartLines();
  Lines want = {start[0],
                start[1],
                start[2],
                start[3],
                start[4],
                kSpacingOk[0],
                kSpacingOk[1],
                run.HookLine(),
                "[INFO] player pointer changed -> " + Hex(static_cast<uint32_t>(run.player_)),
                kNoPlayer,
                kStop};
  EXPECT_EQ(want, LogLines());
  run.ExpectWorkerEndsAfterRelease();
}

// ---- The log's file failing
// -----------------------------------------------------------------------

TEST(Faults, WriteFileFailingOrWritingShort) {
  Lines normal;
  {
    FaultRun run;
    run.Attach();
    run.Frames(3);
    run.Detach();
    normal = Join({run.StartLines(), run.FrameLines(), {kStop}});
    EXPECT_EQ(normal, LogLines());
    run.ExpectWorkerEndsAfterRelease();
  }
  for (int shortBy : {-1, 1, 3}) {
    SCOPED_TRACE(shortBy < 0 ? std::string("WriteFile failing")
                             : "WriteFile short by " + std::to_string(shortBy));
    FaultRun run;
    if (shortBy < 0) {
      sim::Fault().writeFileFail = true;
    } else {
      sim::Fault().writeFileShortBy = shortBy;
    }
    run.Attach();
    EXPECT_EQ(kAllSites, run.Patched());
    run.Frames(3);
    run.Detach();
    EXPECT_EQ(6u, standin::GameRecord()->drawCalls);
    // Each text and each line end lost its last bytes; nothing was retried
    // and nothing else changed.
    std::string want;
    for (const std::string& line : normal) {
      if (shortBy < 0) break;
      std::string text = line;
      // The hex values of this run's lines are the same as the normal run's
      // (same addresses in the same process).
      want += text.substr(0, text.size() - std::min<size_t>(text.size(), shortBy));
      want += std::string("\r\n").substr(0, shortBy >= 2 ? 0 : 2 - shortBy);
    }
    EXPECT_EQ(want, sim::ReadLog());
    EXPECT_EQ(2 * normal.size(), sim::Record().writeFile);
    run.ExpectWorkerEndsAfterRelease();
  }
}

TEST(Faults, CreateFileAFailingAndCreateThreadReturningNull) {
  {
    SCOPED_TRACE("CreateFileA failing");
    FaultRun run;
    sim::Fault().createFileFail = true;
    run.Attach();
    EXPECT_EQ(kAllSites, run.Patched());
    run.Frames(3);
    run.Detach();
    EXPECT_FALSE(LogExists());
    EXPECT_EQ(1u, sim::Record().createFileA);
    EXPECT_EQ(0u, sim::Record().writeFile);
    EXPECT_EQ(6u, standin::GameRecord()->drawCalls);
    // The thread handle only.
    EXPECT_EQ(1u, sim::Record().closeHandle);
    run.ExpectWorkerEndsAfterRelease();
  }
  {
    SCOPED_TRACE("CreateThread returning null");
    FaultRun run;
    sim::Fault().createThreadFail = true;
    run.Attach(false);
    run.Frames(3);
    run.Detach();
    EXPECT_EQ(0u, sim::ThreadsStarted());
    EXPECT_TRUE(run.Untouched());
    EXPECT_EQ(0u, standin::GameRecord()->drawCalls);
    EXPECT_EQ(3u, standin::VhudRecord()->hudRuns);
    EXPECT_EQ((Lines{kBoot[0], kBoot[1], kBoot[2], kStop}), LogLines());
    // The log, not the null thread handle.
    EXPECT_EQ(1u, sim::Record().closeHandle);
  }
}

// ---- Detach at awkward moments
// ---------------------------------------------------------------------

TEST(Faults, DetachWhileTheWorkerSearchesInItsFirstPhase) {
  FaultRun run(/*vhud=*/false);
  run.HoldAtSleep(5);
  run.Attach();
  run.Detach();
  uint32_t writes = sim::Record().writeFile;
  run.ExpectWorkerEndsAfterRelease();
  // The worker's not-found line met a closed log: no write at all.
  EXPECT_EQ(writes, sim::Record().writeFile);
  EXPECT_EQ((Lines{kBoot[0], kBoot[1], kBoot[2], kWorkerStarted, kStop}), LogLines());
  EXPECT_TRUE(run.Untouched());
  EXPECT_EQ((std::vector<uint32_t>(5, 100)), sim::Record().sleeps);
}

// The worker is held inside its second lift (the spacing site) while detach
// runs: it finishes its pass, patching the rest without a line, and ends
// between the phases without sleeping again.
struct LiftHold {
  std::mutex mutex;
  std::condition_variable cv;
  uint32_t lifts = 0;
  bool reached = false, released = false;
};
LiftHold* gLiftHold = nullptr;
int32_t QI_STDCALL HoldingProtect(void* address, uint32_t size, uint32_t newProtect,
                                  uint32_t* oldProtect) {
  if (newProtect == sim::kPageExecuteReadWrite) {
    std::unique_lock<std::mutex> lock(gLiftHold->mutex);
    if (++gLiftHold->lifts == 2) {
      gLiftHold->reached = true;
      gLiftHold->cv.notify_all();
      gLiftHold->cv.wait(lock, [] { return gLiftHold->released; });
    }
  }
  return reinterpret_cast<VirtualProtectFn>(sim::StandIn("VirtualProtect"))(address, size,
                                                                            newProtect, oldProtect);
}

TEST(Faults, DetachWhileTheWorkerPatchesInItsFirstPhase) {
  FaultRun run;
  LiftHold hold;
  gLiftHold = &hold;
  run.Replace("VirtualProtect", reinterpret_cast<uintptr_t>(&HoldingProtect));
  ASSERT_EQ(1, DllMain(nullptr, kDllProcessAttach, nullptr));
  {
    std::unique_lock<std::mutex> lock(hold.mutex);
    ASSERT_TRUE(hold.cv.wait_for(lock, std::chrono::seconds(10), [&] { return hold.reached; }));
  }
  run.Detach();
  uint32_t writes = sim::Record().writeFile;
  {
    std::lock_guard<std::mutex> lock(hold.mutex);
    hold.released = true;
    hold.cv.notify_all();
  }
  sim::StopWorker();
  EXPECT_EQ(0u, sim::Record().sleep) << "the worker slept after the stop flag was set";
  gLiftHold = nullptr;
  // Patches are never undone, and the pass that was under way completed
  // them; its lines met a closed log.
  EXPECT_EQ(kAllSites, run.Patched());
  run.ExpectOnlySitesChanged();
  EXPECT_EQ(writes, sim::Record().writeFile);
  Lines start = run.StartLines();
  EXPECT_EQ((Lines{start[0], start[1], start[2], start[3], start[4], start[5], kStop}), LogLines());
  // The game goes on through the hook after detach, silently.
  run.Frames(2);
  EXPECT_EQ(4u, standin::GameRecord()->drawCalls);
  EXPECT_EQ(writes, sim::Record().writeFile);
}

TEST(Faults, DetachWhileTheWorkerWaitsInItsSecondPhase) {
  FaultRun run;
  run.Attach();
  run.Frames(1);
  run.Detach();
  uint32_t writes = sim::Record().writeFile;
  run.ExpectWorkerEndsAfterRelease();
  EXPECT_EQ(kAllSites, run.Patched());
  // Frames after detach still go through the hook; a state change is not
  // written anywhere.
  standin::SetMenuActive(1);
  run.Frames(2);
  EXPECT_EQ(writes, sim::Record().writeFile);
  EXPECT_EQ(1, gState.lastLoggedState);
  EXPECT_EQ(Join({run.StartLines(), run.FrameLines(), {kStop}}), LogLines());
}

// A frame's WriteFile held, before or after its bytes reach the file,
// while detach runs on the loader's thread.
struct WriteHold {
  std::mutex mutex;
  std::condition_variable cv;
  std::string text;  // the text whose write is held
  bool afterWrite = false;
  bool reached = false, released = false;
};
WriteHold* gWriteHold = nullptr;
int32_t QI_STDCALL HoldingWriteFile(Handle file, const void* data, uint32_t count,
                                    uint32_t* written, void* overlapped) {
  auto write = reinterpret_cast<WriteFileFn>(sim::StandIn("WriteFile"));
  WriteHold* h = gWriteHold;
  bool mine = h != nullptr && std::string(static_cast<const char*>(data), count) == h->text;
  int32_t result = 0;
  if (mine && h->afterWrite) result = write(file, data, count, written, overlapped);
  if (mine) {
    std::unique_lock<std::mutex> lock(h->mutex);
    h->reached = true;
    h->cv.notify_all();
    h->cv.wait(lock, [h] { return h->released; });
  }
  if (!(mine && h->afterWrite)) result = write(file, data, count, written, overlapped);
  return result;
}

TEST(Faults, DetachWhileAFrameIsLogging) {
  for (bool afterWrite : {true, false}) {
    SCOPED_TRACE(afterWrite ? "held between the text and its line end"
                            : "held before the text's bytes were written");
    FaultRun run;
    WriteHold hold;
    hold.text = kMenu;
    hold.afterWrite = afterWrite;
    gWriteHold = &hold;
    run.Replace("WriteFile", reinterpret_cast<uintptr_t>(&HoldingWriteFile));
    run.Attach();
    run.Frames(1);
    standin::SetMenuActive(1);
    std::thread frame([&] { standin::RunHudFrame(); });
    {
      std::unique_lock<std::mutex> lock(hold.mutex);
      ASSERT_TRUE(hold.cv.wait_for(lock, std::chrono::seconds(10), [&] { return hold.reached; }));
    }
    run.Detach();
    {
      std::lock_guard<std::mutex> lock(hold.mutex);
      hold.released = true;
      hold.cv.notify_all();
    }
    frame.join();
    gWriteHold = nullptr;
    std::string before;
    for (const std::string& line : Join({run.StartLines(), run.FrameLines()})) {
      before += line + "\r\n";
    }
    // Written first, the state text meets the stop line at the seam; its
    // own line end, written after detach closed the log, is dropped. Held
    // before its write, the text goes to the closed handle and is lost.
    std::string want = before + (afterWrite ? std::string(kMenu) : "") + kStop + "\r\n";
    EXPECT_EQ(want, sim::ReadLog());
    EXPECT_EQ(1, gState.lastLoggedState);
    run.ExpectWorkerEndsAfterRelease();
  }
}

// ---- The log when the process is killed
// -----------------------------------------------------------

// The child reports every completed WriteFile through a pipe: a 4-byte
// length, then the bytes.
int gReportPipe = -1;
int32_t QI_STDCALL ReportingWriteFile(Handle file, const void* data, uint32_t count,
                                      uint32_t* written, void* overlapped) {
  int32_t result = reinterpret_cast<WriteFileFn>(sim::StandIn("WriteFile"))(file, data, count,
                                                                            written, overlapped);
  uint8_t message[512];
  uint32_t n = count < sizeof(message) - 4 ? count : sizeof(message) - 4;
  memcpy(message, &n, 4);
  memcpy(message + 4, data, n);
  ssize_t ignored = write(gReportPipe, message, 4 + n);
  (void)ignored;
  return result;
}

// Reads exactly n bytes, waiting at most 10 s for each piece.
bool ReadFull(int fd, void* out, size_t n) {
  uint8_t* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 10000) <= 0) return false;
    ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

void SendWorkDir(int fd) {
  std::string dir = sim::WorkDir();
  uint32_t n = static_cast<uint32_t>(dir.size()) | 0x80000000u;
  std::string message(reinterpret_cast<const char*>(&n), 4);
  message += dir;
  ssize_t ignored = write(fd, message.data(), message.size());
  (void)ignored;
}

[[noreturn]] void RunChild(int reportPipe) {
  gReportPipe = reportPipe;
  FaultRun run;
  SendWorkDir(reportPipe);
  run.Replace("WriteFile", reinterpret_cast<uintptr_t>(&ReportingWriteFile));
  run.Attach();
  run.Release();
  // Frames whose visibility state changes on every frame: two texts each.
  for (uint32_t i = 0;; ++i) {
    standin::SetMenuActive(i & 1);
    standin::RunHudFrame();
  }
}

TEST(Faults, EveryLineWrittenBeforeAKillIsInTheLog) {
  sim::Reset();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      RunChild(fds[1]);
    }
    close(fds[1]);
    // Let the child write a few hundred texts, then kill it mid-stream; read
    // what it reported until the pipe closes.
    std::string dir;
    std::string reported;
    uint32_t texts = 0;
    const uint32_t killAt = 200 + 150 * static_cast<uint32_t>(round);
    bool killed = false;
    for (;;) {
      uint32_t n = 0;
      if (!ReadFull(fds[0], &n, 4)) break;
      std::string chunk(n & 0x7FFFFFFFu, '\0');
      if (!ReadFull(fds[0], chunk.data(), chunk.size())) break;
      if ((n & 0x80000000u) != 0) {
        dir = chunk;
        continue;
      }
      reported += chunk;
      if (++texts == killAt && !killed) {
        kill(child, SIGKILL);
        killed = true;
      }
    }
    close(fds[0]);
    if (!killed) kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(killed) << "the child reported only " << texts << " texts";
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ASSERT_FALSE(dir.empty());
    std::string file;
    {
      std::ifstream in(dir + "/Quorvel_Icons.log", std::ios::binary);
      std::ostringstream all;
      all << in.rdbuf();
      file = all.str();
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    // Everything reported is in the file, in order; at most the one text that
    // the child wrote but could not report follows.
    ASSERT_GE(file.size(), reported.size());
    EXPECT_EQ(reported, file.substr(0, reported.size()));
    std::string rest = file.substr(reported.size());
    EXPECT_TRUE(rest.empty() || rest == "\r\n" || rest == kMenu || rest == kAllowed)
        << "after the reported texts: " << rest;
  }
}

}  // namespace
}  // namespace faults
