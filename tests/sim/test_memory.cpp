// The readability test over VirtualQuery, code patching through
// VirtualProtect, and the relative CALL/JMP arithmetic.
#include <string.h>

#include <vector>

#include "core_support.h"
#include "host/host.h"
#include "platform/platform.h"
#include "platform/teb.h"

namespace {

constexpr uint32_t kPage = sim::kPageSize;

class MemoryGuardTest : public core::SimTest {
 protected:
  void SetUp() override {
    core::SimTest::SetUp();
    core::UseStandIns();
    // Two read-write pages, then a read-only one: the region of the first
    // two ends at base + 2 pages.
    base_ = sim::MapAnywhere(3 * kPage, kPage, sim::kPageReadWrite);
    sim::SetProtect(base_ + 2 * kPage, kPage, sim::kPageReadOnly);
  }
  uintptr_t base_ = 0;
};

TEST_F(MemoryGuardTest, ANullAddressIsNeverReadable) {
  EXPECT_FALSE(IsRangeReadable(nullptr, 0));
  EXPECT_FALSE(IsRangeReadable(nullptr, 1));
  gState.api.virtualQuery = nullptr;
  EXPECT_FALSE(IsRangeReadable(nullptr, 0));
  EXPECT_FALSE(IsRangeReadable(nullptr, 4));
  EXPECT_EQ(sim::Record().virtualQuery, 0u);
}

TEST_F(MemoryGuardTest, WithoutVirtualQueryEveryNonNullRangeIsReadable) {
  gState.api.virtualQuery = nullptr;
  EXPECT_TRUE(IsRangeReadable(uintptr_t{1}, 1));
  EXPECT_TRUE(IsRangeReadable(uintptr_t{0x10}, 0xFFFFFFFFu));
  EXPECT_TRUE(IsRangeReadable(uintptr_t{0xFFFFFFFFu}, 0x100));
  sim::SetState(base_, kPage, sim::kMemFree);
  EXPECT_TRUE(IsRangeReadable(base_, 8));
  EXPECT_EQ(sim::Record().virtualQuery, 0u);
}

TEST_F(MemoryGuardTest, ARangeMayEndExactlyAtTheEndOfItsRegion) {
  const uintptr_t end = base_ + 2 * kPage;
  EXPECT_TRUE(IsRangeReadable(end - 8, 8));
  EXPECT_FALSE(IsRangeReadable(end - 8, 9));
  EXPECT_TRUE(IsRangeReadable(base_, 2 * kPage));
  EXPECT_FALSE(IsRangeReadable(base_, 2 * kPage + 1));
  EXPECT_TRUE(IsRangeReadable(base_ + kPage + 0x800, 0x800));
  EXPECT_EQ(sim::Record().virtualQuery, 5u);
}

TEST_F(MemoryGuardTest, OnlyTheRegionOfTheFirstByteCounts) {
  // The read-only page after the region is readable too, yet a range that
  // runs into it fails.
  EXPECT_TRUE(IsRangeReadable(base_ + 2 * kPage, 16));
  EXPECT_FALSE(IsRangeReadable(base_ + 2 * kPage - 16, 32));
}

TEST_F(MemoryGuardTest, ALengthOfZeroOnACommittedPageIsReadable) {
  EXPECT_TRUE(IsRangeReadable(base_ + 0x10, 0));
  EXPECT_TRUE(IsRangeReadable(base_ + 2 * kPage - 1, 0));
}

TEST_F(MemoryGuardTest, GuardAndNoAccessPagesAreUnreadableExecuteOnlyIsReadable) {
  struct Case {
    uint32_t protect;
    bool readable;
  };
  const Case cases[] = {
      {sim::kPageNoAccess, false},
      {sim::kPageReadWrite | sim::kPageGuard, false},
      {sim::kPageReadOnly | sim::kPageGuard, false},
      {sim::kPageExecute, true},
      {sim::kPageExecuteRead, true},
      {sim::kPageReadOnly, true},
      {sim::kPageExecuteReadWrite, true},
      {sim::kPageReadWrite, true},
  };
  *reinterpret_cast<uint32_t*>(base_ + 4) = 0x0BADC0DEu;
  for (const Case& c : cases) {
    sim::SetProtect(base_, kPage, c.protect);
    EXPECT_EQ(IsRangeReadable(base_ + 4, 4), c.readable) << std::hex << c.protect;
    EXPECT_EQ(IsRangeReadable(base_ + 4, 0), c.readable) << std::hex << c.protect;
    // What the guard lets through, the plug-in's own read gets, as on Windows
    // (an execute-only page too, whatever the processor).
    if (c.readable) {
      EXPECT_EQ(ReadWord(base_ + 4), 0x0BADC0DEu) << std::hex << c.protect;
    }
  }
}

TEST_F(MemoryGuardTest, FreeAndReservedMemoryIsUnreadable) {
  sim::SetState(base_, kPage, sim::kMemReserve);
  EXPECT_FALSE(IsRangeReadable(base_, 1));
  sim::SetState(base_, kPage, sim::kMemFree);
  EXPECT_FALSE(IsRangeReadable(base_, 1));
  sim::SetState(base_, kPage, sim::kMemCommit);
  EXPECT_TRUE(IsRangeReadable(base_, 1));
}

TEST_F(MemoryGuardTest, AFailingVirtualQueryMakesEveryRangeUnreadable) {
  sim::Fault().virtualQueryFail = true;
  EXPECT_FALSE(IsRangeReadable(base_, 1));
  EXPECT_FALSE(IsRangeReadable(base_, 0));
  EXPECT_EQ(sim::Record().virtualQuery, 2u);
}

TEST_F(MemoryGuardTest, TheEndIsComparedAsAWrappingThirtyTwoBitSum) {
  // base + 0xFFFFFFFF wraps to base - 1, which lies before the region's end;
  // base + 0xFFFFE000 wraps to base - 0x2000.
  EXPECT_TRUE(IsRangeReadable(base_, 0xFFFFFFFFu));
  EXPECT_TRUE(IsRangeReadable(base_ + 0x10, 0xFFFFE000u));
}

// ---- PatchCode ----------------------------------------------------------------------------

class CodePatchTest : public core::SimTest {
 protected:
  void SetUp() override {
    core::SimTest::SetUp();
    core::UseStandIns();
    code_ = sim::MapAnywhere(2 * kPage, kPage, sim::kPageReadWrite);
    memset(reinterpret_cast<void*>(code_), 0xCC, 2 * kPage);
    sim::SetProtect(code_, 2 * kPage, sim::kPageExecuteRead);
  }
  std::vector<uint8_t> Bytes(uintptr_t at, uint32_t count) const {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(at);
    return std::vector<uint8_t>(p, p + count);
  }
  uintptr_t code_ = 0;
};

TEST_F(CodePatchTest, WritesTheBytesAndPutsTheProtectionBack) {
  const uintptr_t site = code_ + 0x10;
  const CodeWrite write = {1, 4, 0xCCCCCCCCu, 0x11223344};
  EXPECT_EQ(PatchCode(site, 5, write), PatchOutcome::Written);
  EXPECT_EQ(Bytes(site - 1, 7), (std::vector<uint8_t>{0xCC, 0xCC, 0x44, 0x33, 0x22, 0x11, 0xCC}));
  ASSERT_EQ(sim::Record().protects.size(), 2u);
  const sim::ProtectCall& lift = sim::Record().protects[0];
  const sim::ProtectCall& restore = sim::Record().protects[1];
  EXPECT_EQ(lift.address, site);
  EXPECT_EQ(lift.size, 5u);
  EXPECT_EQ(lift.newProtect, 0x40u);
  EXPECT_TRUE(lift.succeeded);
  EXPECT_EQ(restore.address, site);
  EXPECT_EQ(restore.size, 5u);
  EXPECT_EQ(restore.newProtect, sim::kPageExecuteRead);
  EXPECT_EQ(sim::ProtectOf(site), sim::kPageExecuteRead);
}

// One compare-and-exchange of 4 or 8 bytes, at any offset inside a cache
// line (across an aligned 8-byte block too): all bytes or none. Refused:
// the lift is undone by another party before the store, which faults.
TEST_F(CodePatchTest, StoresOnlyWhileEveryByteHoldsWhatWasExpected) {
  struct Case {
    uint32_t offset, size;
    uint64_t expected;
    PatchOutcome outcome;
  };
  const Case cases[] = {
      {0x43, 4, 0xCCCCCCCCu, PatchOutcome::Written},
      {0x45, 4, 0xCCCCCCCCu, PatchOutcome::Written},  // 5 mod 8
      {0x44, 8, 0xCCCCCCCCCCCCCCCCull, PatchOutcome::Written},
      {0x41, 8, 0xCCCCCCCCCCCCCCCCull, PatchOutcome::Written},  // 1 mod 8
      {0x43, 4, 0xCCCCCCCDu, PatchOutcome::Changed},
      {0x44, 8, 0xCDCCCCCCCCCCCCCCull, PatchOutcome::Changed},  // only the last byte differs
      {0x44, 8, 0xCCCCCCCCCCCCCCCDull, PatchOutcome::Changed},  // only the first
      {0x43, 4, 0xCCCCCCCCu, PatchOutcome::Refused},
      {0x41, 8, 0xCCCCCCCCCCCCCCCCull, PatchOutcome::Refused},
  };
  int lifts = 0;
  for (const Case& c : cases) {
    ++lifts;
    sim::Fault().virtualProtectUndoneAt = c.outcome == PatchOutcome::Refused ? lifts : 0;
    sim::SetProtect(code_, kPage, sim::kPageReadWrite);
    memset(reinterpret_cast<void*>(code_), 0xCC, kPage);
    sim::SetProtect(code_, kPage, sim::kPageExecuteRead);
    sim::Record().protects.clear();
    const CodeWrite write = {c.offset, c.size, c.expected, 0x0807060504030201ull};
    std::string what = std::to_string(c.offset) + "/" + std::to_string(c.size);
    EXPECT_EQ(PatchCode(code_, 0x50, write), c.outcome) << what;
    std::vector<uint8_t> want(0x50, 0xCC);
    if (c.outcome == PatchOutcome::Written) {
      for (uint32_t i = 0; i < c.size; ++i) want[c.offset + i] = static_cast<uint8_t>(i + 1);
    }
    EXPECT_EQ(Bytes(code_, 0x50), want) << what;
    // The protection is put back whether or not the bytes were stored.
    ASSERT_EQ(sim::Record().protects.size(), 2u) << what;
    EXPECT_EQ(sim::Record().protects[1].newProtect, sim::kPageExecuteRead) << what;
    EXPECT_EQ(sim::ProtectOf(code_), sim::kPageExecuteRead) << what;
    // The exception frame is gone in every outcome.
    EXPECT_EQ(*reinterpret_cast<const uint32_t*>(ReadTebPointer() + kTebExceptionList), 0xFFFFFFFFu)
        << what;
  }
}

TEST_F(CodePatchTest, TheOldProtectionOfEachKindIsRestored) {
  for (uint32_t protect : {sim::kPageReadOnly, sim::kPageReadWrite, sim::kPageExecute}) {
    sim::SetProtect(code_, kPage, protect);
    uint32_t now = *reinterpret_cast<const uint32_t*>(code_ + 0x100);
    const CodeWrite write = {0, 4, now, now + 1};
    EXPECT_EQ(PatchCode(code_ + 0x100, 4, write), PatchOutcome::Written);
    EXPECT_EQ(sim::ProtectOf(code_ + 0x100), protect);
    EXPECT_EQ(sim::Record().protects.back().newProtect, protect);
  }
  sim::SetProtect(code_, kPage, sim::kPageReadOnly);
  EXPECT_EQ(*reinterpret_cast<const uint32_t*>(code_ + 0x100), 0xCCCCCCCFu);
}

TEST_F(CodePatchTest, ASiteAcrossTwoPagesIsLiftedAndRestoredAsOneRange) {
  const uintptr_t site = code_ + kPage - 2;
  const CodeWrite write = {1, 4, 0xCCCCCCCCu, 0xDDCCBBAA};
  EXPECT_EQ(PatchCode(site, 5, write), PatchOutcome::Written);
  EXPECT_EQ(Bytes(site, 5), (std::vector<uint8_t>{0xCC, 0xAA, 0xBB, 0xCC, 0xDD}));
  EXPECT_EQ(sim::ProtectOf(code_), sim::kPageExecuteRead);
  EXPECT_EQ(sim::ProtectOf(code_ + kPage), sim::kPageExecuteRead);
}

TEST_F(CodePatchTest, WhenLiftingFailsNothingIsWritten) {
  sim::Fault().virtualProtectFailAt = 1;
  const uintptr_t site = code_ + 0x20;
  const CodeWrite write = {1, 4, 0xCCCCCCCCu, 0x01020304};
  EXPECT_EQ(PatchCode(site, 5, write), PatchOutcome::Refused);
  EXPECT_EQ(Bytes(site, 5), (std::vector<uint8_t>(5, 0xCC)));
  ASSERT_EQ(sim::Record().protects.size(), 1u);
  EXPECT_FALSE(sim::Record().protects[0].succeeded);
  EXPECT_EQ(sim::ProtectOf(site), sim::kPageExecuteRead);
  // The next call goes through.
  EXPECT_EQ(PatchCode(site, 5, write), PatchOutcome::Written);
  EXPECT_EQ(Bytes(site, 5), (std::vector<uint8_t>{0xCC, 0x04, 0x03, 0x02, 0x01}));
}

TEST_F(CodePatchTest, AFailingRestoreIsIgnored) {
  // On a page that already was PAGE_EXECUTE_READWRITE the restoring call asks
  // for that protection again, and this one is made to fail.
  sim::SetProtect(code_, kPage, sim::kPageExecuteReadWrite);
  sim::Fault().virtualProtectFailAt = 2;
  const CodeWrite write = {0, 4, 0xCCCCCCCCu, 0xCCCCCCE8u};
  EXPECT_EQ(PatchCode(code_ + 0x30, 4, write), PatchOutcome::Written);
  EXPECT_EQ(*reinterpret_cast<const uint8_t*>(code_ + 0x30), 0xE8);
  ASSERT_EQ(sim::Record().protects.size(), 2u);
  EXPECT_EQ(sim::Record().protects[1].newProtect, 0x40u);
  EXPECT_FALSE(sim::Record().protects[1].succeeded);
}

// ---- Relative CALL and JMP --------------------------------------------------------------

TEST(RelativeBranchTest, TargetsAndDisplacementsWrapAtTwoToThe32) {
  EXPECT_EQ(RelativeTarget(0x1000, 0xFFFFFFFBu), 0x1000u);  // CALL with -5 calls itself
  EXPECT_EQ(RelativeDisplacement(0x58FAE0, 0x58FAE5), 0u);
  EXPECT_EQ(RelativeDisplacement(0x1000, 0x1000), 0xFFFFFFFBu);
  EXPECT_EQ(RelativeTarget(0xFFFFFFF0u, 0x20), 0x15u);
  EXPECT_EQ(RelativeDisplacement(0xFFFFFFF0u, 0x15), 0x20u);
  EXPECT_EQ(RelativeDisplacement(0x10, 0xFFFFFF00u), 0xFFFFFEEBu);
  EXPECT_EQ(RelativeTarget(0x10, 0xFFFFFEEBu), 0xFFFFFF00u);
}

}  // namespace
