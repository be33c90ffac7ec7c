// Each wheel installer stores only while the bytes it read are still there:
// another party that writes the site between the installer's read and its
// store (here: while the installer has the page writable) keeps its bytes,
// the installer reports nothing for that pass, and the next pass judges the
// site afresh.
#include "test_wheel_support.h"

namespace wheel {
namespace {

uintptr_t gLifting = 0;  // the site whose lift lets the other party write
uintptr_t gPokeAt = 0;
std::vector<uint8_t> gPokeBytes;

int32_t QI_STDCALL VirtualProtectThenWrite(void* address, uint32_t size, uint32_t protect,
                                           uint32_t* old) {
  int32_t result = reinterpret_cast<VirtualProtectFn>(sim::StandIn("VirtualProtect"))(address, size,
                                                                                      protect, old);
  if (result != 0 && protect == sim::kPageExecuteReadWrite && gPokeAt != 0 &&
      reinterpret_cast<uintptr_t>(address) == gLifting) {
    memcpy(reinterpret_cast<void*>(gPokeAt), gPokeBytes.data(), gPokeBytes.size());
    gPokeAt = 0;
  }
  return result;
}

class StoreRace : public WheelTest {};

TEST_F(StoreRace, BytesWrittenBetweenReadAndStoreAreKeptAndJudgedOnTheNextPass) {
  const uintptr_t rotate = base_ + kRotateSite;
  const uintptr_t spacing = base_ + kSpacingSite;
  const uintptr_t extraX = base_ + standin::kCentreTextSiteOffsets[5];
  const uint32_t elsewhere = static_cast<uint32_t>(base_ + 0x1000);
  std::vector<uint8_t> operand(4);
  memcpy(operand.data(), &elsewhere, 4);
  const struct {
    const char* what;
    void (*install)();
    uintptr_t site;
    uintptr_t at;
    std::vector<uint8_t> theirs;        // written by the other party
    std::vector<std::string> nextPass;  // what the next pass logs
  } cases[] = {
      {"static slot: a call elsewhere",
       &InstallStaticSlotPatch,
       rotate,
       rotate,
       Rel(0xE8, rotate, elsewhere),
       {"[WHEEL][ERR] unexpected RotateVertices target=" + Hex(elsewhere) +
        " expected=" + Hex(static_cast<uint32_t>(base_ + 0x50290))}},
      {"spacing: a jump of its own over the second instruction",
       &InstallSpacingPatch,
       spacing,
       spacing + 3,
       Rel(0xE9, spacing + 3, elsewhere),
       {"[WHEEL][ERR] content-offset signature mismatch; spacing patch skipped"}},
      {"centre text: extra-x pointed elsewhere",
       &InstallCentreTextPatch,
       extraX,
       extraX + 4,
       operand,
       {"[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
        "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)"}},
  };
  for (const auto& c : cases) {
    gState.api.virtualProtect = &VirtualProtectThenWrite;
    gLifting = c.site;
    gPokeAt = c.at;
    gPokeBytes = c.theirs;
    const size_t lines = Lines().size();
    c.install();
    EXPECT_EQ(0u, gPokeAt) << c.what << ": the page was never lifted";
    EXPECT_EQ(c.theirs, BytesAt(c.at, static_cast<uint32_t>(c.theirs.size()))) << c.what;
    EXPECT_EQ(lines, Lines().size()) << c.what;
    EXPECT_EQ(sim::kPageExecuteRead, sim::ProtectOf(c.at)) << c.what;
    c.install();
    std::vector<std::string> all = Lines();
    EXPECT_EQ(c.nextPass, std::vector<std::string>(all.begin() + lines, all.end())) << c.what;
  }
  // The centre text's next pass re-pointed the other party's operand.
  EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&gState.centreTextX)),
            WordAt(extraX + 4));
}

}  // namespace
}  // namespace wheel
