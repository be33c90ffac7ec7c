// The simulated process itself: page table answers and the start-up path end
// to end, so that failures elsewhere point at the plug-in, not the stand-ins.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

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

// The permissions /proc/self/maps shows for the mapping that holds `address`
// ("rwx" with dashes), or "" when none does.
std::string MappedPermissions(uintptr_t address) {
  FILE* maps = fopen("/proc/self/maps", "r");
  if (maps == nullptr) return "";
  std::string found;
  unsigned long begin = 0, end = 0;
  char perms[5] = {};
  while (fscanf(maps, "%lx-%lx %4s%*[^\n]", &begin, &end, perms) == 3) {
    if (address >= begin && address < end) found.assign(perms, 3);
  }
  fclose(maps);
  return found;
}

// What Windows on x86 grants for each protection, as the real mapping: no
// page may run without being readable, whatever the processor (on one with
// protection keys Linux would make PROT_EXEC alone execute-only).
TEST_F(SimCore, EachProtectionIsMappedAsWindowsGrantsIt) {
  struct Case {
    uint32_t protect;
    const char* perms;
  };
  const Case cases[] = {
      {sim::kPageNoAccess, "---"},
      {sim::kPageReadOnly, "r--"},
      {sim::kPageReadWrite, "rw-"},
      {sim::kPageWriteCopy, "rw-"},
      {sim::kPageExecute, "r-x"},
      {sim::kPageExecuteRead, "r-x"},
      {sim::kPageExecuteReadWrite, "rwx"},
      {sim::kPageExecuteWriteCopy, "rwx"},
      {sim::kPageExecuteRead | sim::kPageGuard, "---"},
      {sim::kPageExecute | 0x200, "r-x"},  // PAGE_NOCACHE changes nothing here
  };
  uintptr_t base = sim::MapAnywhere(3 * sim::kPageSize, sim::kPageSize, sim::kPageReadWrite);
  const uintptr_t page = base + sim::kPageSize;
  *reinterpret_cast<volatile uint32_t*>(page + 8) = 0x5A17C0DEu;
  for (const Case& c : cases) {
    sim::SetProtect(page, sim::kPageSize, c.protect);
    EXPECT_EQ(c.perms, MappedPermissions(page)) << std::hex << c.protect;
    EXPECT_EQ(c.protect, sim::ProtectOf(page)) << std::hex << c.protect;
    if (c.perms[0] == 'r') {
      EXPECT_EQ(0x5A17C0DEu, *reinterpret_cast<volatile uint32_t*>(page + 8))
          << std::hex << c.protect;
    }
  }
  // The neighbours keep their own protection.
  EXPECT_EQ("rw-", MappedPermissions(base));
  EXPECT_EQ("rw-", MappedPermissions(base + 2 * sim::kPageSize));
}

// The process's folder (the log's) is made in the user's temporary folder,
// and in /tmp without one.
TEST_F(SimCore, TheProcessFolderLiesInTheTemporaryFolder) {
  char made[] = "/tmp/qi-sim-tmpdir-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(made));
  const std::string own = made;
  setenv("TMPDIR", made, 1);
  sim::Reset();
  EXPECT_EQ(own + "/qi-sim-", sim::WorkDir().substr(0, own.size() + 8));
  char here[4096];
  ASSERT_NE(nullptr, getcwd(here, sizeof(here)));
  EXPECT_EQ(sim::WorkDir(), here);
  unsetenv("TMPDIR");
  sim::Reset();
  EXPECT_EQ("/tmp/qi-sim-", sim::WorkDir().substr(0, 12));
  rmdir(own.c_str());
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
