// Shared by the weapon-wheel tests: a fixture with the stand-in game and VHud
// built and the log open, snapshots of VHud's image, and float helpers.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

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

namespace wheel {

constexpr uint32_t kRotateSite = 0x6CDA8;
constexpr uint32_t kSpacingSite = 0x6BBD9;
constexpr uint8_t kSpacingBytes[9] = {0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF};

using testvalues::Bits;
using testvalues::Hex;
inline float FromBits(uint32_t b) { return testvalues::FloatOf(b); }

inline uint32_t WordAt(uintptr_t address) {
  uint32_t w;
  memcpy(&w, reinterpret_cast<const void*>(address), 4);
  return w;
}

using codebytes::BytesAt;
using codebytes::Rel;

using codebytes::Poke;

// The record VHud's layout reads through EDX, with its word at +0x44.
constexpr uint32_t kRecordWord = 0xFEEDF00Du;
inline uint32_t gLayoutRecord[18] = {0, 0, 0, 0, 0, 0, 0, 0, 0,
                                     0, 0, 0, 0, 0, 0, 0, 0, kRecordWord};

inline void PutLongDouble(uint8_t out[16], long double value) {
  memset(out, 0, 16);
  memcpy(out, &value, 10);
}

// A layout state for one slot: garbage in ECX and EDI (the replaced
// instructions overwrite them), a two-deep x87 stack, patterned XMM
// registers, default MXCSR, ESP = 4 mod 16 as under a 32-bit Windows call.
inline standin::SpacingInput LayoutInput(uint32_t slot, float contentX, float ammoX) {
  standin::SpacingInput in;
  memset(&in, 0, sizeof(in));
  in.eax = 0x0000A0A0u;
  in.ebx = slot;
  in.ecx = 0xC1C1C1C1u;
  in.edx = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(gLayoutRecord));
  in.esi = 0x0000A0A0u;
  in.edi = 0xD1D1D1D1u;
  in.contentX = contentX;
  in.ammoX = ammoX;
  in.espMod16 = 4;
  in.fpuControl = 0x037F;
  in.mxcsr = 0x1F80;
  in.x87Count = 2;
  PutLongDouble(in.x87[0], 3.25L);
  PutLongDouble(in.x87[1], -1e300L);
  for (uint32_t r = 0; r < 8; ++r) {
    for (uint32_t j = 0; j < 16; ++j) in.xmm[r][j] = static_cast<uint8_t>(0x9D ^ (r * 16 + j));
  }
  return in;
}

// Captures of one input run on VHud's own nine bytes and on the patched site
// agree in everything but the two positions (and what the driver put aside).
inline void ExpectSameStateAsVhud(const standin::SpacingCapture& vhud,
                                  const standin::SpacingCapture& patched, const std::string& what) {
  EXPECT_EQ(vhud.eax, patched.eax) << what;
  EXPECT_EQ(vhud.ebx, patched.ebx) << what;
  EXPECT_EQ(vhud.ecx, patched.ecx) << what;
  EXPECT_EQ(vhud.edx, patched.edx) << what;
  EXPECT_EQ(vhud.esi, patched.esi) << what;
  EXPECT_EQ(vhud.edi, patched.edi) << what;
  EXPECT_EQ(vhud.ebp, patched.ebp) << what;
  EXPECT_EQ(vhud.esp, patched.esp) << what;
  EXPECT_EQ(vhud.eflags, patched.eflags) << what;
  EXPECT_EQ(vhud.siteEsp, patched.siteEsp) << what;
  EXPECT_EQ(vhud.siteEbp, patched.siteEbp) << what;
  // FXSAVE: control, status, tags, opcode and pointers, MXCSR, the valid
  // x87 registers ST(0) up (10 bytes each), XMM0..7.
  for (uint32_t i = 0; i < 32; ++i) {
    EXPECT_EQ(vhud.fx[i], patched.fx[i]) << what << " fxsave byte " << i;
  }
  uint32_t depth = standin::FxDepth(vhud);
  for (uint32_t r = 0; r < depth; ++r) {
    for (uint32_t i = 0; i < 10; ++i) {
      EXPECT_EQ(standin::FxStack(vhud, r)[i], standin::FxStack(patched, r)[i])
          << what << " ST(" << r << ") byte " << i;
    }
  }
  for (uint32_t i = 160; i < 288; ++i) {
    EXPECT_EQ(vhud.fx[i], patched.fx[i]) << what << " fxsave byte " << i;
  }
}

inline void UseStandIns() { sim::UseStandIns(); }

// The plug-in as the worker leaves it once VHud is found, without starting
// the worker: kernel32 resolved, the log open (no boot lines), VHud known.
class WheelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    world_ = standin::BuildWorld(false, VhudAt());
    base_ = world_.vhudBase;
    UseStandIns();
    gState.logFile =
        gState.api.createFileA("Quorvel_Icons.log", 0x40000000, 3, nullptr, 2, 0x80, 0);
    ASSERT_NE(QI_INVALID_HANDLE, gState.logFile);
    gState.vhudBase = base_;
    gState.vhudSize = world_.vhudSize;
  }
  void TearDown() override { sim::StopWorker(); }
  // Where VHud's image is mapped: anywhere 64 KiB aligned when 0.
  virtual uintptr_t VhudAt() const { return 0; }

  std::vector<std::string> Lines() { return sim::LogLines(); }
  uint32_t Lifts() {
    uint32_t n = 0;
    for (const sim::ProtectCall& c : sim::Record().protects) {
      if (c.newProtect == sim::kPageExecuteReadWrite) ++n;
    }
    return n;
  }
  std::vector<uint8_t> Image() { return BytesAt(base_, world_.vhudSize); }
  // Offsets at which two snapshots of the image differ.
  static std::vector<uint32_t> Diff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
      if (a[i] != b[i]) out.push_back(static_cast<uint32_t>(i));
    }
    return out;
  }
  static std::vector<uint32_t> Span(uint32_t begin, uint32_t end) {
    std::vector<uint32_t> out;
    for (uint32_t i = begin; i < end; ++i) out.push_back(i);
    return out;
  }

  standin::World world_{};
  uintptr_t base_ = 0;
};

}  // namespace wheel
