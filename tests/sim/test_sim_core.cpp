// The simulated process itself: page table answers and the start-up path end
// to end, so that failures elsewhere point at the plug-in, not the stand-ins.
#include <gtest/gtest.h>

#include "entry/entry.h"
#include "platform/platform.h"
#include "sim/sim.h"

namespace {

class SimCore : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override { sim::StopWorker(); }
};

TEST_F(SimCore, PageTableSplitsAndCoalescesRegions) {
  uintptr_t base = sim::MapAnywhere(0x10000, 0x10000, sim::kPageReadWrite);
  sim::SetProtect(base + 0x3000, 0x2000, sim::kPageExecuteRead);
  MemoryBasicInformation info{};
  gState.api.virtualQuery = reinterpret_cast<VirtualQueryFn>(sim::StandIn("VirtualQuery"));
  ASSERT_EQ(28u, gState.api.virtualQuery(reinterpret_cast<void*>(base + 0x1234), &info, 28));
  EXPECT_EQ(base + 0x1000, info.baseAddress);
  EXPECT_EQ(0x2000u, info.regionSize);
  EXPECT_EQ(sim::kPageReadWrite, info.protect);
  ASSERT_EQ(28u, gState.api.virtualQuery(reinterpret_cast<void*>(base + 0x4FFF), &info, 28));
  EXPECT_EQ(base + 0x4000, info.baseAddress);
  EXPECT_EQ(0x1000u, info.regionSize);
  EXPECT_EQ(sim::kPageExecuteRead, info.protect);
  sim::SetProtect(base + 0x3000, 0x2000, sim::kPageReadWrite);
  ASSERT_EQ(28u, gState.api.virtualQuery(reinterpret_cast<void*>(base), &info, 28));
  EXPECT_EQ(0x10000u, info.regionSize);
  sim::SetState(base + 0x8000, 0x1000, sim::kMemReserve);
  EXPECT_EQ(sim::kMemReserve, sim::StateOf(base + 0x8800));
  EXPECT_EQ(sim::kMemCommit, sim::StateOf(base + 0x9000));
}

TEST_F(SimCore, AttachWithoutVhudSearchesFourHundredTimes) {
  ASSERT_EQ(1, DllMain(nullptr, kDllProcessAttach, nullptr));
  ASSERT_TRUE(sim::WaitForSleeps(402));
  DllMain(nullptr, kDllProcessDetach, nullptr);
  sim::StopWorker();
  bool crlf = false;
  std::vector<std::string> lines = sim::LogLines(&crlf);
  EXPECT_TRUE(crlf);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ("[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started", lines[0]);
  EXPECT_EQ("[THREAD] worker started", lines[3]);
  EXPECT_EQ("[ERR] VHud.asi not found", lines[4]);
  EXPECT_EQ("[STOP] DLL detach", lines[5]);
  const std::vector<uint32_t>& sleeps = sim::Record().sleeps;
  ASSERT_GE(sleeps.size(), 401u);
  for (size_t i = 0; i < 400; ++i) ASSERT_EQ(100u, sleeps[i]) << i;
  EXPECT_EQ(500u, sleeps[400]);
}

}  // namespace
