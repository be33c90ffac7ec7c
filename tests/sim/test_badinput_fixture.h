// The bad-input tests' fixture (test_badinput.cpp): a fresh plug-in state
// with VHud's image as built, the plug-in's texts captured without a file,
// the values a byte takes, and the checks that no byte was written outside
// what a patch owns.
#pragma once
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

}  // namespace
}  // namespace badinput
