// Bad input at the patch sites: every single-byte change of the static-slot
// call, the spacing site, the six centre-text instructions and the HUD jump,
// each fed to its installer on a fresh plug-in state. For each: the message
// the installer must write (or silence), its result, the site's bytes
// afterwards, and no byte written anywhere the patch does not own.
//
// Opcode and ModRM bytes, and every byte of the spacing signature, take all
// 255 other values; displacement and operand bytes take a sample that
// includes the extremes and the neighbours of the original. Each case
// compares the pages around the site and the game's code pages with their
// state before the installer ran; at the end of every byte position the
// whole VHud image is compared too.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "hud/hud.h"
#include "sim/sim.h"
#include "standin/game_image.h"
#include "standin/sim_world.h"
#include "standin/vhud_image.h"
#include "standin/vhud_wheel.h"
#include "state/plugin_state.h"
#include "test_code_bytes.h"
#include "test_values.h"
#include "wheel/wheel.h"
#include "worker/worker.h"

namespace badinput {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

using testvalues::Hex;

uint32_t Address(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

using codebytes::BytesAt;

uint32_t Word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

using codebytes::Poke;

// Every text the plug-in writes, captured without a file.
std::string gWritten;
int32_t QI_STDCALL CaptureWrite(Handle, const void* data, uint32_t count, uint32_t* written,
                                void*) {
  gWritten.append(static_cast<const char*>(data), count);
  if (written != nullptr) *written = count;
  return 1;
}

Lines TakeLines() {
  Lines out;
  size_t at = 0;
  while (at < gWritten.size()) {
    size_t end = gWritten.find("\r\n", at);
    if (end == std::string::npos) {
      out.push_back(gWritten.substr(at) + "<no CR LF>");
      break;
    }
    out.push_back(gWritten.substr(at, end - at));
    at = end + 2;
  }
  gWritten.clear();
  return out;
}

// The values a byte takes: all 255 others, or a sample.
std::vector<uint8_t> Values(uint8_t original, bool all) {
  std::set<uint8_t> v;
  if (all) {
    for (int i = 0; i < 256; ++i) v.insert(static_cast<uint8_t>(i));
  } else {
    for (int i : {0x00, 0x01, 0x02, 0x10, 0x3F, 0x40, 0x7F, 0x80, 0x81, 0xC0, 0xFE, 0xFF}) {
      v.insert(static_cast<uint8_t>(i));
    }
    v.insert(static_cast<uint8_t>(original + 1));
    v.insert(static_cast<uint8_t>(original - 1));
    v.insert(static_cast<uint8_t>(original ^ 0x10));
    v.insert(static_cast<uint8_t>(original ^ 0x80));
  }
  v.erase(original);
  return std::vector<uint8_t>(v.begin(), v.end());
}

constexpr uint32_t kStaticSite = 0x6CDA8;
constexpr uint32_t kSpacingSite = 0x6BBD9;

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    world_ = standin::BuildWorld(false);
    base_ = world_.vhudBase;
    PlatformApi& api = gState.api;
    api.sleep = reinterpret_cast<SleepFn>(sim::StandIn("Sleep"));
    api.createThread = reinterpret_cast<CreateThreadFn>(sim::StandIn("CreateThread"));
    api.virtualProtect = reinterpret_cast<VirtualProtectFn>(sim::StandIn("VirtualProtect"));
    api.virtualQuery = reinterpret_cast<VirtualQueryFn>(sim::StandIn("VirtualQuery"));
    api.writeFile = &CaptureWrite;
    gState.logFile = reinterpret_cast<Handle>(uintptr_t{0x1234});
    gState.vhudBase = base_;
    gState.vhudSize = world_.vhudSize;
    gWritten.clear();
    // One copy of the 17 MB image as built (no other thread runs here).
    const uint8_t* built = reinterpret_cast<const uint8_t*>(base_);
    image_.assign(built, built + world_.vhudSize);
    game_ = GameCode();
  }

  static Bytes GameCode() {
    Bytes all;
    for (uint32_t i = 0; i < standin::kGameCodePageCount; ++i) {
      Bytes page = BytesAt(standin::kGameCodePages[i], sim::kPageSize);
      all.insert(all.end(), page.begin(), page.end());
    }
    return all;
  }

  // The plug-in's per-process state back to load time for the installers.
  static void FreshState() {
    gState.staticSlotReported = 0;
    gState.savedRotateVertices = 0;
    gState.spacingReported = 0;
    gState.spacingReturn = 0;
    gState.centreTextReported = 0;
    gState.savedHudTarget = 0;
    gState.hookWarned = 0;
    gWritten.clear();
  }

  uint32_t Lifts() const {
    uint32_t n = 0;
    for (const sim::ProtectCall& c : sim::Record().protects) {
      if (c.newProtect == sim::kPageExecuteReadWrite) ++n;
    }
    return n;
  }

  // Compares VHud's pages [site - 1 page, site + 2 pages) and the game's
  // code pages with `vhud` and `game`, allowing only `owned` addresses to
  // differ.
  void ExpectOnly(uintptr_t site, const Bytes& vhudWindow, const Bytes& game,
                  const std::set<uintptr_t>& owned, const std::string& what) {
    uintptr_t from = (site & ~uintptr_t{0xFFF}) - 0x1000;
    Bytes now = BytesAt(from, 0x3000);
    for (uint32_t i = 0; i < now.size(); ++i) {
      if (now[i] != vhudWindow[i] && owned.count(from + i) == 0) {
        ADD_FAILURE() << what << ": VHud byte +" << Hex(static_cast<uint32_t>(from + i - base_))
                      << " written";
        return;
      }
    }
    Bytes g = GameCode();
    for (uint32_t i = 0; i < g.size(); ++i) {
      uintptr_t at = standin::kGameCodePages[i / sim::kPageSize] + i % sim::kPageSize;
      if (g[i] != game[i] && owned.count(at) == 0) {
        ADD_FAILURE() << what << ": game byte " << Hex(static_cast<uint32_t>(at)) << " written";
        return;
      }
    }
  }
  Bytes Window(uintptr_t site) const {
    return BytesAt((site & ~uintptr_t{0xFFF}) - 0x1000, 0x3000);
  }

  // The whole image is VHud's own but for `allowed` offsets, which may hold
  // anything.
  // Compared where it lies, a page at a time, without a copy of the image;
  // byte by byte only in a page that differs.
  void ExpectImageAsBuilt(const std::set<uint32_t>& allowed, const std::string& what) {
    const uint8_t* now = reinterpret_cast<const uint8_t*>(base_);
    for (uint32_t page = 0; page < image_.size(); page += sim::kPageSize) {
      const uint32_t n = std::min<uint32_t>(sim::kPageSize, image_.size() - page);
      if (memcmp(now + page, image_.data() + page, n) == 0) continue;
      for (uint32_t i = page; i < page + n; ++i) {
        if (now[i] != image_[i] && allowed.count(i) == 0) {
          ADD_FAILURE() << what << ": VHud byte +" << Hex(i) << " differs from the built image";
          return;
        }
      }
    }
  }

  std::set<uintptr_t> Range(uintptr_t from, uint32_t n) const {
    std::set<uintptr_t> out;
    for (uint32_t i = 0; i < n; ++i) out.insert(from + i);
    return out;
  }

  standin::World world_{};
  uintptr_t base_ = 0;
  Bytes image_;
  Bytes game_;
};

// ---- The static-slot call
// -------------------------------------------------------------------------

TEST_F(BadInput, EverySingleByteChangeOfTheStaticSlotCall) {
  const uintptr_t site = base_ + kStaticSite;
  const Bytes original = BytesAt(site, 5);
  const uint32_t expected = static_cast<uint32_t>(base_ + 0x50290);
  const uint32_t rotate = Address(reinterpret_cast<void*>(&StaticSlotRotate));
  uint32_t cases = 0;
  for (uint32_t pos = 0; pos < 5; ++pos) {
    for (uint8_t value : Values(original[pos], pos == 0)) {
      std::string what = "byte " + std::to_string(pos) + " = " + Hex(value);
      FreshState();
      Bytes bad = original;
      bad[pos] = value;
      Poke(site, bad);
      Bytes window = Window(site);
      uint32_t lifts = Lifts();
      InstallStaticSlotPatch();
      Lines want;
      if (pos == 0) {
        want = {"[WHEEL][ERR] expected CALL opcode not found; static wheel patch skipped"};
      } else {
        uint32_t target = static_cast<uint32_t>(base_ + 0x6CDAD) + Word(bad.data() + 1);
        if (target != rotate) {
          want = {"[WHEEL][ERR] unexpected RotateVertices target=" + Hex(target) +
                  " expected=" + Hex(expected)};
        }
      }
      EXPECT_EQ(want, TakeLines()) << what;
      EXPECT_EQ(bad, BytesAt(site, 5)) << what;
      EXPECT_EQ(lifts, Lifts()) << what;
      EXPECT_EQ(0u, gState.savedRotateVertices) << what;
      ExpectOnly(site, window, game_, {}, what);
      ++cases;
    }
    Poke(site, original);
    ExpectImageAsBuilt({}, "after byte " + std::to_string(pos));
  }
  // The site untouched, the patch still goes in.
  FreshState();
  InstallStaticSlotPatch();
  EXPECT_EQ(1u, TakeLines().size());
  EXPECT_EQ(rotate, static_cast<uint32_t>(site + 5) + Word(BytesAt(site, 5).data() + 1));
  RecordProperty("cases", std::to_string(cases));
}

// ---- The spacing site
// --------------------------------------------------------------------------------

TEST_F(BadInput, EverySingleByteChangeOfTheSpacingSite) {
  const uintptr_t site = base_ + kSpacingSite;
  const Bytes original = BytesAt(site, 9);
  ASSERT_EQ((Bytes{0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF}), original);
  for (uint32_t pos = 0; pos < 9; ++pos) {
    for (uint8_t value : Values(original[pos], true)) {
      std::string what = "byte " + std::to_string(pos) + " = " + Hex(value);
      FreshState();
      Bytes bad = original;
      bad[pos] = value;
      Poke(site, bad);
      Bytes window = Window(site);
      uint32_t lifts = Lifts();
      InstallSpacingPatch();
      EXPECT_EQ(Lines{"[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped"},
                TakeLines())
          << what;
      EXPECT_EQ(bad, BytesAt(site, 9)) << what;
      EXPECT_EQ(lifts, Lifts()) << what;
      EXPECT_EQ(0u, gState.spacingReturn) << what;
      ExpectOnly(site, window, game_, {}, what);
    }
    Poke(site, original);
    ExpectImageAsBuilt({}, "after byte " + std::to_string(pos));
  }
}

// ---- The six centre-text instructions -----------------------------------------------------------

class BadInputCentreText : public BadInput {
 protected:
  void SetUp() override {
    BadInput::SetUp();
    const float* targets[6] = {&gState.nameY,       &gState.centreTextX, &gState.countY,
                               &gState.centreTextX, &gState.arrowY,      &gState.centreTextX};
    for (int i = 0; i < 6; ++i) {
      sites_[i] = base_ + standin::kCentreTextSiteOffsets[i];
      originals_[i] = BytesAt(sites_[i], 8);
      targets_[i] = Address(targets[i]);
      for (uint32_t j = 4; j < 8; ++j) {
        owned_.insert(sites_[i] + j);
        ownedOffsets_.insert(standin::kCentreTextSiteOffsets[i] + j);
      }
    }
  }
  void RestoreAll() {
    for (int i = 0; i < 6; ++i) Poke(sites_[i], originals_[i]);
  }
  uintptr_t sites_[6] = {};
  Bytes originals_[6];
  uint32_t targets_[6] = {};
  std::set<uintptr_t> owned_;
  std::set<uint32_t> ownedOffsets_;
};

TEST_F(BadInputCentreText, EverySingleByteChangeOfEachOfTheSixInstructions) {
  const char* const labels[6] = {"name-y", "name-x", "count-y", "count-x", "arrow-y", "extra-x"};
  const Lines success = {
      "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
      "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)"};
  for (int s = 0; s < 6; ++s) {
    for (uint32_t pos = 0; pos < 8; ++pos) {
      for (uint8_t value : Values(originals_[s][pos], pos < 4)) {
        std::string what =
            std::string(labels[s]) + " byte " + std::to_string(pos) + " = " + Hex(value);
        FreshState();
        RestoreAll();
        Bytes bad = originals_[s];
        bad[pos] = value;
        Poke(sites_[s], bad);
        Bytes window = Window(sites_[s]);
        InstallCentreTextPatch();
        Lines lines = TakeLines();
        if (pos < 4) {
          // The instruction is not the one expected: reported by its label,
          // left as it is; the other five are re-pointed all the same.
          EXPECT_EQ(
              Lines{"[WHEEL][ERR] centre-text signature mismatch at " + std::string(labels[s])},
              lines)
              << what;
          EXPECT_EQ(bad, BytesAt(sites_[s], 8)) << what;
        } else {
          // Only the operand differs: re-pointed like VHud's own.
          EXPECT_EQ(success, lines) << what;
        }
        for (int o = 0; o < 6; ++o) {
          if (o == s && pos < 4) continue;
          Bytes want = originals_[o];
          for (int j = 0; j < 4; ++j) want[4 + j] = static_cast<uint8_t>(targets_[o] >> (8 * j));
          EXPECT_EQ(want, BytesAt(sites_[o], 8)) << what << ", site " << labels[o];
        }
        ExpectOnly(sites_[s], window, game_, owned_, what);
      }
      RestoreAll();
      ExpectImageAsBuilt({}, std::string(labels[s]) + " after byte " + std::to_string(pos));
    }
  }
}

// ---- The HUD jump
// ----------------------------------------------------------------------------------

TEST_F(BadInput, EverySingleByteChangeOfTheHudJump) {
  const uintptr_t site = standin::kGameHudJump;
  const Bytes original = BytesAt(site, 5);
  const uint32_t hook = Address(reinterpret_cast<void*>(&HudFrameHook));
  const uint32_t vhudEnd = static_cast<uint32_t>(base_) + world_.vhudSize;
  const std::set<uintptr_t> owned = Range(site + 1, 4);
  uint32_t inside = 0, outside = 0;
  for (uint32_t pos = 0; pos < 5; ++pos) {
    for (uint8_t value : Values(original[pos], pos == 0)) {
      std::string what = "byte " + std::to_string(pos) + " = " + Hex(value);
      FreshState();
      Bytes bad = original;
      bad[pos] = value;
      Poke(site, bad);
      Bytes window = Window(base_ + kStaticSite);
      Bytes game = GameCode();
      uint32_t lifts = Lifts();
      int32_t result = InstallHudHook();
      Lines lines = TakeLines();
      uint32_t target = static_cast<uint32_t>(site + 5) + Word(bad.data() + 1);
      if (pos == 0) {
        // Not a jump: nothing at all.
        EXPECT_EQ(0, result) << what;
        EXPECT_EQ(Lines{}, lines) << what;
        EXPECT_EQ(bad, BytesAt(site, 5)) << what;
        EXPECT_EQ(lifts, Lifts()) << what;
      } else if (target == hook) {
        EXPECT_EQ(1, result) << what;
        EXPECT_EQ(Lines{}, lines) << what;
      } else if (target >= base_ && target < vhudEnd) {
        ++inside;
        EXPECT_EQ(1, result) << what;
        EXPECT_EQ(Lines{"[HOOK] installed; original=" + Hex(target) + " hook=" + Hex(hook)}, lines)
            << what;
        EXPECT_EQ(target, gState.savedHudTarget) << what;
        Bytes want = {0xE9};
        for (int j = 0; j < 4; ++j) {
          want.push_back(static_cast<uint8_t>((hook - static_cast<uint32_t>(site + 5)) >> (8 * j)));
        }
        EXPECT_EQ(want, BytesAt(site, 5)) << what;
        EXPECT_EQ(lifts + 1, Lifts()) << what;
      } else {
        ++outside;
        EXPECT_EQ(0, result) << what;
        EXPECT_EQ(Lines{"[WARN] HUD jump target is outside VHud: " + Hex(target)}, lines) << what;
        EXPECT_EQ(bad, BytesAt(site, 5)) << what;
        EXPECT_EQ(0u, gState.savedHudTarget) << what;
        EXPECT_EQ(lifts, Lifts()) << what;
      }
      ExpectOnly(base_ + kStaticSite, window, game, owned, what);
    }
    Poke(site, original);
    ExpectImageAsBuilt({}, "after byte " + std::to_string(pos));
  }
  // Both sides of VHud's range were met.
  EXPECT_GT(inside, 0u);
  EXPECT_GT(outside, 0u);
}

}  // namespace
}  // namespace badinput
