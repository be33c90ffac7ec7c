// Loader lists and export tables in odd shapes that Windows can produce, in
// addition to the look-up tests: a list cut short by a null link, names whose
// length counts a terminating unit, a name as long as a UNICODE_STRING
// allows, an export with an empty name, forwarders at both length limits at
// once, an empty module part, and a forwarder that leads back to itself.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/sim.h"

namespace badinput {
namespace {

const auto& Direct = sim::DirectExport;
const auto& Forward = sim::ForwardedExport;

class OddShapes : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
};

TEST_F(OddShapes, LoaderListsAndBaseNames) {
  // A link that is null in the middle of the list ends the walk there: what
  // lies before is found, what lies after is not, and nothing is read past
  // the null link.
  sim::AddModule("before.dll", 0x41000000);
  uintptr_t cut = sim::AddModule("cut.dll", 0x42000000);
  sim::AddModule("after.dll", 0x43000000);
  uintptr_t link = cut + 0x08;  // InMemoryOrderLinks.Flink
  uint32_t saved;
  memcpy(&saved, reinterpret_cast<void*>(link), 4);
  memset(reinterpret_cast<void*>(link), 0, 4);
  EXPECT_EQ(0x41000000u, FindLoadedModule("before.dll"));
  EXPECT_EQ(0x42000000u, FindLoadedModule("cut.dll"));
  EXPECT_EQ(0u, FindLoadedModule("after.dll"));
  EXPECT_EQ(0u, FindLoadedModule("missing.dll"));
  memcpy(reinterpret_cast<void*>(link), &saved, 4);
  EXPECT_EQ(0x43000000u, FindLoadedModule("after.dll"));

  // A length that counts the terminating unit: the name is one unit longer
  // than the text, so the text does not match it.
  static const uint16_t kTerminated[] = {'n', 'u', 'l', '.', 'd', 'l', 'l', 0};
  sim::AddModuleRaw(0x44000000, kTerminated, sizeof(kTerminated));
  EXPECT_EQ(0u, FindLoadedModule("nul.dll"));

  // The longest length a UNICODE_STRING holds (0xFFFE bytes) over a buffer
  // whose readable part ends right after the wanted name's length plus one
  // unit: the comparison stops where the wanted name ends.
  const std::string wanted = "long.dll";
  uintptr_t pages = sim::MapAnywhere(2 * sim::kPageSize, sim::kPageSize);
  auto* name = reinterpret_cast<uint16_t*>(pages + sim::kPageSize - 2 * (wanted.size() + 1));
  for (size_t i = 0; i < wanted.size(); ++i) name[i] = static_cast<uint8_t>(wanted[i]);
  name[wanted.size()] = 'x';
  sim::SetProtect(pages + sim::kPageSize, sim::kPageSize, sim::kPageNoAccess);
  sim::AddModuleRaw(0x45000000, name, 0xFFFE);
  EXPECT_EQ(0u, FindLoadedModule("long.dll"));
  EXPECT_EQ(0u, FindLoadedModule("long"));

  // Names differing only in length, on both sides, at the front of the list
  // and after kernel32.
  sim::AddModule("a.dll", 0x46000000);
  sim::AddModule("aa.dll", 0x47000000);
  EXPECT_EQ(0x46000000u, FindLoadedModule("A.DLL"));
  EXPECT_EQ(0x47000000u, FindLoadedModule("AA.DLL"));
  EXPECT_EQ(0u, FindLoadedModule("aaa.dll"));
  EXPECT_EQ(0u, FindLoadedModule(".dll"));
}

TEST_F(OddShapes, ExportTablesAndForwarders) {
  // An export whose name is empty is found by the empty name only.
  uintptr_t empty = sim::BuildImage({Direct("", 0x51000000), Direct("Fn", 0x51000001)});
  EXPECT_EQ(0x51000000u, ResolveExport(empty, "", 0));
  EXPECT_EQ(0x51000001u, ResolveExport(empty, "Fn", 0));

  // Both parts of a forwarder at their limits at once: a 59-character module
  // part and a 95-character function part.
  const std::string m59(59, 'q');
  const std::string f95(95, 'r');
  sim::AddModule(m59 + ".dll", sim::BuildImage({Direct(f95, 0x52000000)}));
  uintptr_t limits =
      sim::BuildImage({Forward("Both", m59 + "." + f95), Forward("Longer", m59 + "." + f95 + "s"),
                       Forward("TooLong", m59 + "q." + f95)});
  EXPECT_EQ(0x52000000u, ResolveExport(limits, "Both", 0));
  EXPECT_EQ(0x52000000u, ResolveExport(limits, "Longer", 0));  // cut to 95
  EXPECT_EQ(0u, ResolveExport(limits, "TooLong", 0));

  // An empty module part names the module ".dll".
  uintptr_t dotOnly = sim::BuildImage({Forward("Fn", ".Target")});
  EXPECT_EQ(0u, ResolveExport(dotOnly, "Fn", 0));
  sim::AddModule(".dll", sim::BuildImage({Direct("Target", 0x53000000)}));
  EXPECT_EQ(0x53000000u, ResolveExport(dotOnly, "Fn", 0));

  // A function part that is only "#", and one beginning with it.
  sim::AddModule("hash.dll", sim::BuildImage({Direct("#", 0x54000000), Direct("#1", 0x54000001)}));
  uintptr_t hashes = sim::BuildImage({Forward("A", "hash.#"), Forward("B", "hash.#1")});
  EXPECT_EQ(0u, ResolveExport(hashes, "A", 0));
  EXPECT_EQ(0u, ResolveExport(hashes, "B", 0));

  // A forwarder that leads back to itself, and two that lead to each other:
  // the depth limit ends both.
  uintptr_t self = sim::BuildImage({Forward("Loop", "self.Loop")});
  sim::AddModule("self.dll", self);
  EXPECT_EQ(0u, ResolveExport(self, "Loop", 0));
  uintptr_t ping = sim::BuildImage({Forward("Fn", "pong.Fn")});
  uintptr_t pong = sim::BuildImage({Forward("Fn", "ping.Fn")});
  sim::AddModule("ping.dll", ping);
  sim::AddModule("pong.dll", pong);
  EXPECT_EQ(0u, ResolveExport(ping, "Fn", 0));
  EXPECT_EQ(0u, ResolveExport(pong, "Fn", 0));
}

}  // namespace
}  // namespace badinput
