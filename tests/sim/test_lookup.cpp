// Finding loaded modules through the loader list, and exports through PE32
// export directories, forwarders included.
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include "core_support.h"
#include "platform/platform.h"

namespace {

const auto& Direct = sim::DirectExport;
const auto& Forward = sim::ForwardedExport;
const auto& AtRva = sim::ExportAtRva;

void Put32(uintptr_t at, uint32_t value) { memcpy(reinterpret_cast<void*>(at), &value, 4); }
void Put16(uintptr_t at, uint16_t value) { memcpy(reinterpret_cast<void*>(at), &value, 2); }
uint32_t Get32(uintptr_t at) {
  uint32_t value;
  memcpy(&value, reinterpret_cast<const void*>(at), 4);
  return value;
}

// The header page of a built image is read-only; the tests rewrite it.
uintptr_t NtHeaders(uintptr_t image) {
  sim::SetProtect(image, sim::kPageSize, sim::kPageReadWrite);
  return image + Get32(image + 0x3C);
}

class ModuleLookupTest : public core::SimTest {};
class ExportLookupTest : public core::SimTest {};

// ---- FindLoadedModule ----------------------------------------------------------------

TEST_F(ModuleLookupTest, BaseNamesMatchWithoutRegardToAsciiCase) {
  // The simulated loader lists kernel32 as "KERNEL32.DLL".
  for (const char* name : {"KERNEL32.DLL", "Kernel32.dll", "kernel32.dll", "kErNeL32.DlL"}) {
    EXPECT_EQ(FindLoadedModule(name), sim::Kernel32Base()) << name;
  }
  sim::AddModule("vhud.asi", 0x20000000);
  EXPECT_EQ(FindLoadedModule("VHud.asi"), 0x20000000u);
}

TEST_F(ModuleLookupTest, OnlyTheWholeNameMatches) {
  for (const char* name : {"kernel32", "kernel32.dl", "kernel32.dll2", "kernel32.dll ",
                           "kernel32.dll.dll", "ernel32.dll", "", "k"}) {
    EXPECT_EQ(FindLoadedModule(name), 0u) << '"' << name << '"';
  }
  EXPECT_EQ(FindLoadedModule(nullptr), 0u);
}

TEST_F(ModuleLookupTest, OnlyTheCapitalLettersAreFolded) {
  // 0x40 '@' and 0x5B '[' border the capitals; 0xC4 would become 0xE4 if the
  // fold reached beyond ASCII.
  sim::AddModule("x@y.dll", 0x21000000);
  sim::AddModule("x[y.dll", 0x22000000);
  sim::AddModule("\xC4.dll", 0x23000000);
  EXPECT_EQ(FindLoadedModule("x`y.dll"), 0u);
  EXPECT_EQ(FindLoadedModule("x{y.dll"), 0u);
  EXPECT_EQ(FindLoadedModule("\xE4.dll"), 0u);
  EXPECT_EQ(FindLoadedModule("X@Y.DLL"), 0x21000000u);
  EXPECT_EQ(FindLoadedModule("X[Y.DLL"), 0x22000000u);
  EXPECT_EQ(FindLoadedModule("\xC4.DLL"), 0x23000000u);
}

TEST_F(ModuleLookupTest, TheHighByteOfEachNameUnitIsNotCompared) {
  static const uint16_t kName[] = {0x4156, 0x0148, 0xFF75, 0x2064, 0x002E, 0x9961, 0x0173, 0x8069};
  sim::AddModuleRaw(0x24000000, kName, sizeof(kName));
  EXPECT_EQ(FindLoadedModule("VHud.asi"), 0x24000000u);
  EXPECT_EQ(FindLoadedModule("vhud.asi"), 0x24000000u);
}

TEST_F(ModuleLookupTest, AnOddByteLengthDropsTheHalfUnit) {
  static const uint16_t kName[] = {'a', 'b', 'c', '.', 'd', 'l', 'l', 'X'};
  sim::AddModuleRaw(0x25000000, kName, 15);  // seven units and a half
  EXPECT_EQ(FindLoadedModule("abc.dll"), 0x25000000u);
  EXPECT_EQ(FindLoadedModule("abc.dllX"), 0u);
}

TEST_F(ModuleLookupTest, AnEmptyBaseNameMatchesOnlyAnEmptyName) {
  static const uint16_t kName[] = {'z'};
  sim::AddModuleRaw(0x26000000, kName, 0);
  EXPECT_EQ(FindLoadedModule("z"), 0u);
  EXPECT_EQ(FindLoadedModule(""), 0x26000000u);
  sim::RemoveModule(0x26000000);
  sim::AddModuleRaw(0x27000000, kName, 1);  // half a unit is no unit
  EXPECT_EQ(FindLoadedModule(""), 0x27000000u);
}

TEST_F(ModuleLookupTest, EntriesWithoutBaseOrNameBufferArePassedOver) {
  static const uint16_t kName[] = {'d', 'u', 'p', '.', 'd', 'l', 'l'};
  sim::AddModuleRaw(0, kName, sizeof(kName));
  sim::AddModuleRaw(0x28000000, nullptr, sizeof(kName));
  sim::AddModule("dup.dll", 0x29000000);
  EXPECT_EQ(FindLoadedModule("dup.dll"), 0x29000000u);
}

TEST_F(ModuleLookupTest, TheFirstMatchInMemoryOrderWins) {
  sim::AddModule("dup.dll", 0x2A000000);
  sim::AddModule("DUP.DLL", 0x2B000000);
  EXPECT_EQ(FindLoadedModule("Dup.dll"), 0x2A000000u);
  sim::RemoveModule(0x2A000000);
  EXPECT_EQ(FindLoadedModule("Dup.dll"), 0x2B000000u);
  sim::RemoveModule(0x2B000000);
  EXPECT_EQ(FindLoadedModule("Dup.dll"), 0u);
}

TEST_F(ModuleLookupTest, MissingOrEmptyLoaderListsYieldNull) {
  for (sim::LoaderShape shape : {sim::LoaderShape::NullPeb, sim::LoaderShape::NullLdr,
                                 sim::LoaderShape::EmptyHead, sim::LoaderShape::EmptyNull}) {
    sim::Reset();
    ASSERT_NE(FindLoadedModule("kernel32.dll"), 0u);
    sim::SetLoaderShape(shape);
    EXPECT_EQ(FindLoadedModule("kernel32.dll"), 0u) << static_cast<int>(shape);
    EXPECT_EQ(FindLoadedModule(""), 0u) << static_cast<int>(shape);
  }
}

// ---- ResolveExport: names ------------------------------------------------------------

TEST_F(ExportLookupTest, ExportsAreFoundByTheirExactName) {
  uintptr_t image = sim::BuildImage(
      {Direct("Alpha", 0x31000010), Direct("Beta", 0x31000020), Direct("Gamma", 0x31000030)});
  EXPECT_EQ(ResolveExport(image, "Alpha", 0), 0x31000010u);
  EXPECT_EQ(ResolveExport(image, "Beta", 0), 0x31000020u);
  EXPECT_EQ(ResolveExport(image, "Gamma", 0), 0x31000030u);
  EXPECT_EQ(ResolveExport(image, "Delta", 0), 0u);
  EXPECT_EQ(ResolveExport(image, nullptr, 0), 0u);
  EXPECT_EQ(ResolveExport(image, "", 0), 0u);
}

TEST_F(ExportLookupTest, NamesCompareWithCaseAndWhole) {
  uintptr_t k = sim::Kernel32Base();
  EXPECT_EQ(ResolveExport(k, "Sleep", 0), sim::StandIn("Sleep"));
  EXPECT_EQ(ResolveExport(k, "CreateThread", 0), sim::StandIn("CreateThread"));
  for (const char* name : {"sleep", "SLEEP", "Slee", "Sleep ", "Create", "CreateThreadX",
                           "createthread", "CreateThrea"}) {
    EXPECT_EQ(ResolveExport(k, name, 0), 0u) << name;
  }
  // A longer export sharing the prefix is a different export.
  EXPECT_NE(ResolveExport(k, "SleepEx", 0), sim::StandIn("Sleep"));
}

TEST_F(ExportLookupTest, TheFirstEqualNameInTableOrderWins) {
  uintptr_t image = sim::BuildImage({Direct("Dup", 0x32000001), Direct("Dup", 0x32000002)});
  EXPECT_EQ(ResolveExport(image, "Dup", 0), 0x32000001u);
}

TEST_F(ExportLookupTest, OnlyNumberOfNamesEntriesAreSearched) {
  uintptr_t image = sim::BuildImage({Direct("First", 0x33000001), Direct("Second", 0x33000002)});
  uintptr_t dir = image + sim::ExportDirectoryRva(image);
  Put32(dir + 0x18, 1);
  EXPECT_EQ(ResolveExport(image, "First", 0), 0x33000001u);
  EXPECT_EQ(ResolveExport(image, "Second", 0), 0u);
  Put32(dir + 0x18, 0);
  EXPECT_EQ(ResolveExport(image, "First", 0), 0u);
}

TEST_F(ExportLookupTest, TheOrdinalTableIndexesTheFunctionTableDirectly) {
  // The directory's ordinal base is 1; it plays no part.
  uintptr_t image = sim::BuildImage({Direct("Alpha", 0x34000001), Direct("Beta", 0x34000002)});
  uintptr_t dir = image + sim::ExportDirectoryRva(image);
  ASSERT_EQ(Get32(dir + 0x10), 1u);
  uintptr_t ordinals = image + Get32(dir + 0x24);
  Put16(ordinals, 1);
  Put16(ordinals + 2, 0);
  EXPECT_EQ(ResolveExport(image, "Alpha", 0), 0x34000002u);
  EXPECT_EQ(ResolveExport(image, "Beta", 0), 0x34000001u);
}

// ---- ResolveExport: the image's headers -----------------------------------------------

TEST_F(ExportLookupTest, TheNtSignatureMustBeExactly4550) {
  uintptr_t image = sim::BuildImage({Direct("Fn", 0x35000000)});
  uintptr_t nt = NtHeaders(image);
  for (uint32_t bad : {0x4551u, 0x01004550u, 0x00004541u, 0u}) {
    Put32(nt, bad);
    EXPECT_EQ(ResolveExport(image, "Fn", 0), 0u) << std::hex << bad;
  }
  Put32(nt, 0x4550);
  EXPECT_EQ(ResolveExport(image, "Fn", 0), 0x35000000u);
}

TEST_F(ExportLookupTest, TheNtHeadersAreFoundThroughELfanew) {
  uintptr_t image = sim::BuildImage({Direct("Fn", 0x36000000)});
  uintptr_t nt = NtHeaders(image);
  memmove(reinterpret_cast<void*>(image + 0x200), reinterpret_cast<void*>(nt), 0xF8);
  Put32(nt, 0);
  Put32(image + 0x3C, 0x200);
  EXPECT_EQ(ResolveExport(image, "Fn", 0), 0x36000000u);
}

TEST_F(ExportLookupTest, AnExportDirectoryRvaOfZeroYieldsNull) {
  uintptr_t image = sim::BuildImage({Direct("Fn", 0x37000000)});
  uintptr_t nt = NtHeaders(image);
  // Read at RVA 0, the DOS header would hold a usable directory.
  memcpy(reinterpret_cast<void*>(image + 0x18),
         reinterpret_cast<const void*>(image + sim::ExportDirectoryRva(image) + 0x18), 16);
  Put32(nt + 0x78, 0);
  EXPECT_EQ(ResolveExport(image, "Fn", 0), 0u);
}

// ---- ResolveExport: forwarder bounds --------------------------------------------------

TEST_F(ExportLookupTest, AFunctionRvaAtTheDirectoryStartIsAForwarder) {
  uintptr_t probe = sim::BuildImage({AtRva("Fwd", 0)});
  uint32_t dirRva = sim::ExportDirectoryRva(probe);
  uintptr_t image = sim::BuildImage({AtRva("Fwd", dirRva), AtRva("Before", dirRva - 1)});
  // The directory's first 16 bytes are not read by the look-up; a forwarder
  // text placed there is followed.
  strcpy(reinterpret_cast<char*>(image + dirRva), "KERNEL32.Sleep");
  EXPECT_EQ(ResolveExport(image, "Fwd", 0), sim::StandIn("Sleep"));
  EXPECT_EQ(ResolveExport(image, "Before", 0), image + dirRva - 1);
}

TEST_F(ExportLookupTest, AFunctionRvaAtTheDirectoryEndIsNotAForwarder) {
  uintptr_t probe = sim::BuildImage({AtRva("Edge", 0)});
  uint32_t dirRva = sim::ExportDirectoryRva(probe);
  uint32_t end = dirRva + sim::ExportDirectorySize(probe);
  uintptr_t atEnd = sim::BuildImage({AtRva("Edge", end)});
  ASSERT_EQ(sim::ExportDirectorySize(atEnd), sim::ExportDirectorySize(probe));
  EXPECT_EQ(ResolveExport(atEnd, "Edge", 0), atEnd + end);
  // One byte earlier is the directory's last byte, a forwarder (an empty
  // text, which has no dot).
  uintptr_t inside = sim::BuildImage({AtRva("Edge", end - 1)});
  EXPECT_EQ(ResolveExport(inside, "Edge", 0), 0u);
}

TEST_F(ExportLookupTest, ShrinkingTheDirectoryTurnsAForwarderIntoAnAddress) {
  uintptr_t image = sim::BuildImage({Forward("Fwd", "KERNEL32.Sleep")});
  uintptr_t dir = image + sim::ExportDirectoryRva(image);
  uint32_t textRva = Get32(image + Get32(dir + 0x1C));
  uintptr_t nt = NtHeaders(image);
  Put32(nt + 0x7C, textRva - sim::ExportDirectoryRva(image));
  EXPECT_EQ(ResolveExport(image, "Fwd", 0), image + textRva);
  Put32(nt + 0x7C, textRva - sim::ExportDirectoryRva(image) + 1);
  EXPECT_EQ(ResolveExport(image, "Fwd", 0), sim::StandIn("Sleep"));
}

// ---- ResolveExport: forwarders ------------------------------------------------------------

TEST_F(ExportLookupTest, ForwardersAreFollowedIntoLoadedModulesWithoutRegardToCase) {
  uintptr_t image =
      sim::BuildImage({Forward("A", "kernel32.Sleep"), Forward("B", "KERNEL32.Sleep"),
                       Forward("C", "KeRnEl32.CloseHandle"), Forward("D", "KERNEL32.sleep")});
  EXPECT_EQ(ResolveExport(image, "A", 0), sim::StandIn("Sleep"));
  EXPECT_EQ(ResolveExport(image, "B", 0), sim::StandIn("Sleep"));
  EXPECT_EQ(ResolveExport(image, "C", 0), sim::StandIn("CloseHandle"));
  // The function part keeps its case.
  EXPECT_EQ(ResolveExport(image, "D", 0), 0u);
}

TEST_F(ExportLookupTest, AForwarderIntoAModuleNotLoadedYieldsNull) {
  uintptr_t image = sim::BuildImage({Forward("Fn", "NTDLLX.RtlFoo")});
  EXPECT_EQ(ResolveExport(image, "Fn", 0), 0u);
  uintptr_t target = sim::BuildImage({Direct("RtlFoo", 0x38000000)});
  sim::AddModule("ntdllx.dll", target);
  EXPECT_EQ(ResolveExport(image, "Fn", 0), 0x38000000u);
  sim::RemoveModule(target);
  EXPECT_EQ(ResolveExport(image, "Fn", 0), 0u);
}

TEST_F(ExportLookupTest, TheFirstDotSplitsTheForwarderText) {
  uintptr_t target = sim::BuildImage({Direct("ms.Fn", 0x39000000)});
  sim::AddModule("api.dll", target);
  uintptr_t image = sim::BuildImage({Forward("Fn", "api.ms.Fn"), Forward("NoDot", "kernel32Sleep"),
                                     Forward("Empty", "KERNEL32.")});
  EXPECT_EQ(ResolveExport(image, "Fn", 0), 0x39000000u);
  EXPECT_EQ(ResolveExport(image, "NoDot", 0), 0u);
  EXPECT_EQ(ResolveExport(image, "Empty", 0), 0u);
}

TEST_F(ExportLookupTest, TheModulePartMayHave59CharactersNot60) {
  const std::string m59(59, 'm');
  const std::string m60(60, 'n');
  sim::AddModule(m59 + ".dll", sim::BuildImage({Direct("Fn", 0x3A000059)}));
  sim::AddModule(m60 + ".dll", sim::BuildImage({Direct("Fn", 0x3A000060)}));
  // A 60-character module part with ".dll" would not fit the 64-byte buffer
  // and would be cut to this name.
  sim::AddModule(m60 + ".dl", sim::BuildImage({Direct("Fn", 0x3A000061)}));
  uintptr_t image = sim::BuildImage({Forward("F59", m59 + ".Fn"), Forward("F60", m60 + ".Fn")});
  EXPECT_EQ(ResolveExport(image, "F59", 0), 0x3A000059u);
  EXPECT_EQ(ResolveExport(image, "F60", 0), 0u);
}

TEST_F(ExportLookupTest, AForwardByOrdinalYieldsNull) {
  sim::AddModule("ord.dll",
                 sim::BuildImage({Direct("#5", 0x3B000005), Direct("Five", 0x3B000000)}));
  uintptr_t image =
      sim::BuildImage({Forward("ByOrdinal", "ord.#5"), Forward("ByName", "ord.Five")});
  EXPECT_EQ(ResolveExport(image, "ByOrdinal", 0), 0u);
  EXPECT_EQ(ResolveExport(image, "ByName", 0), 0x3B000000u);
}

TEST_F(ExportLookupTest, TheFunctionPartIsCutAt95Characters) {
  const std::string f95(95, 'f');
  const std::string g96(96, 'g');
  sim::AddModule("long.dll", sim::BuildImage({Direct(f95, 0x3C000095), Direct(g96, 0x3C000096)}));
  uintptr_t image =
      sim::BuildImage({Forward("Exact", "long." + f95), Forward("Longer", "long." + f95 + "XYZ"),
                       Forward("Cut", "long." + g96)});
  EXPECT_EQ(ResolveExport(image, "Exact", 0), 0x3C000095u);
  EXPECT_EQ(ResolveExport(image, "Longer", 0), 0x3C000095u);
  EXPECT_EQ(ResolveExport(image, "Cut", 0), 0u);
}

// Builds a chain of `forwards` forwarders ending in a direct export and
// returns the image where the chain begins.
uintptr_t BuildChain(const std::string& prefix, int forwards, uintptr_t address) {
  uintptr_t next = sim::BuildImage({Direct("Fn", address)});
  for (int i = forwards; i >= 1; --i) {
    std::string module = prefix + std::to_string(i);
    sim::AddModule(module + ".dll", next);
    next = sim::BuildImage({Forward("Fn", module + ".Fn")});
  }
  return next;
}

TEST_F(ExportLookupTest, AChainOfFourForwardsResolvesAndFiveDoNot) {
  uintptr_t four = BuildChain("four", 4, 0x3D000004);
  uintptr_t five = BuildChain("five", 5, 0x3D000005);
  EXPECT_EQ(ResolveExport(four, "Fn", 0), 0x3D000004u);
  EXPECT_EQ(ResolveExport(five, "Fn", 0), 0u);
  // The depth passed in counts too.
  EXPECT_EQ(ResolveExport(four, "Fn", 1), 0u);
  uintptr_t one = BuildChain("one", 1, 0x3D000001);
  EXPECT_EQ(ResolveExport(one, "Fn", 3), 0x3D000001u);
  EXPECT_EQ(ResolveExport(one, "Fn", 4), 0u);
}

TEST_F(ExportLookupTest, DepthIsComparedSigned) {
  uintptr_t image = sim::BuildImage({Direct("Fn", 0x3E000000)});
  EXPECT_EQ(ResolveExport(image, "Fn", 4), 0x3E000000u);
  EXPECT_EQ(ResolveExport(image, "Fn", 5), 0u);
  EXPECT_EQ(ResolveExport(image, "Fn", INT_MAX), 0u);
  EXPECT_EQ(ResolveExport(image, "Fn", -1), 0x3E000000u);
  EXPECT_EQ(ResolveExport(image, "Fn", INT_MIN), 0x3E000000u);
}

}  // namespace
