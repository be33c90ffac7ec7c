// The checker against the plug-in itself: the same image bytes are judged by
// the checker and handed to the worker's step on finding VHud (its build
// judged) and the plug-in's three wheel installers in the simulated process;
// the log lines they write on their first pass must be exactly the lines the
// checker predicts, and lines its log explainer knows.
#include <gtest/gtest.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "check/check.h"
#include "check/log_lines.h"
#include "check/pe_image.h"
#include "log/log.h"
#include "sim/sim.h"
#include "standin/sim_world.h"
#include "state/plugin_state.h"
#include "tests/check/vhud_file.h"
#include "worker/worker.h"

namespace {

using namespace vhudfile;

// The plug-in with its log open and VHud's image at `base`, `size` bytes.
void RunInstallersOnce(uintptr_t base, uint32_t size) {
  gState.vhudBase = base;
  gState.vhudSize = size;
  InstallStaticSlotPatch();
  InstallSpacingPatch();
  InstallCentreTextPatch();
}

// The worker's step on finding VHud at `base` (its header read, its build
// judged), then, when it recorded VHud, the installers' first pass.
void RunFirstPass(uintptr_t base) {
  if (RecordVhud(base)) {
    InstallStaticSlotPatch();
    InstallSpacingPatch();
    InstallCentreTextPatch();
  }
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Variant {
  std::string name;
  uint32_t sizeOfImage;
  std::function<void(std::vector<uint8_t>&)> alter;  // on the file's bytes
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

void PokeWheel(std::vector<uint8_t>& file, uint32_t rva, std::vector<uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    file.at(WheelFileOffset(rva + static_cast<uint32_t>(i))) = bytes[i];
  }
}

std::vector<Variant> Variants() {
  std::vector<Variant> v;
  auto none = [](std::vector<uint8_t>&) {};
  v.push_back({"AllOriginal", kFullSize, none});
  v.push_back({"RotateNotCall", kFullSize, [](auto& f) { PokeWheel(f, kRotateSite, {0xE9}); }});
  v.push_back(
      {"RotateOtherTarget", kFullSize, [](auto& f) { PokeWheel(f, kRotateSite + 2, {0x35}); }});
  // A call whose target is address 0 once the image lies at the simulated
  // base: the displacement is fixed up below, when the base is known.
  v.push_back({"RotateFarTarget", kFullSize, [](auto& f) {
                 PokeWheel(f, kRotateSite + 1, {0x00, 0x00, 0x00, 0x80});
               }});
  for (uint32_t k = 0; k < 9; ++k) {
    v.push_back({"SpacingByte" + std::to_string(k), kFullSize,
                 [k](auto& f) { f.at(WheelFileOffset(kSpacingSite + k)) ^= 0x10; }});
  }
  v.push_back({"SpacingJumpToZero", kFullSize, none});  // filled in with the base
  v.push_back({"SpacingInPlaceJumpToZero", kFullSize, none});
  v.push_back({"FiveCentreJumpsToZero", kFullSize, none});  // another party's detours
  for (uint32_t i = 0; i < 6; ++i) {
    for (uint32_t k = 0; k < 4; ++k) {
      v.push_back({"Centre" + std::to_string(i + 1) + "Byte" + std::to_string(k), kFullSize,
                   [i, k](auto& f) { f.at(WheelFileOffset(kCentreSites[i].offset + k)) ^= 0x01; }});
    }
  }
  v.push_back({"CentreSecondAndFifth", kFullSize, [](auto& f) {
                 PokeWheel(f, kCentreSites[4].offset, {0x66});
                 PokeWheel(f, kCentreSites[1].offset, {0x66});
               }});
  v.push_back({"CentreOperandZero", kFullSize, [](auto& f) {
                 PokeWheel(f, kCentreSites[0].offset + 4, {0, 0, 0, 0});
               }});
  for (uint32_t size : {0x6CDADu, 0x6CDACu, 0x6C8A9u, 0x6C8A8u, 0x6C598u, 0x6C597u, 0x6C4A7u,
                        0x6C4A6u, 0x6BBE2u, 0x6BBE1u, 0x6B100u}) {
    char name[32];
    snprintf(name, sizeof(name), "Size%05X", size);
    v.push_back({name, size, none});
  }
  v.push_back({"SmallWithNameYMismatch", 0x6C8A8,
               [](auto& f) { PokeWheel(f, kCentreSites[0].offset + 1, {0x1F}); }});
  v.push_back({"OtherBuild", kFullSize, [](auto& f) { f = BuildOtherBuild(); }});
  v.push_back({"HalfTheSitesAltered", kFullSize, [](auto& f) {
                 PokeWheel(f, kRotateSite, {0, 0, 0, 0, 0});
                 PokeWheel(f, kSpacingSite, {0, 0, 0, 0, 0, 0, 0, 0, 0});
                 PokeWheel(f, kCentreSites[0].offset, {0, 0, 0, 0});
                 PokeWheel(f, kCentreSites[1].offset, {0});
               }});
  return v;
}

class CheckAgreesWithPlugin : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    sim::Reset();
    ASSERT_TRUE(sim::OpenLogOnly());
  }
  void TearDown() override { sim::StopWorker(); }
};

TEST_P(CheckAgreesWithPlugin, OnTheFirstPass) {
  const Variant& variant = GetParam();
  std::vector<uint8_t> file = Build(kDefaultBase, variant.sizeOfImage);
  variant.alter(file);
  check::PeImage image;
  std::string error;
  ASSERT_TRUE(check::MapPeImage(file.data(), file.size(), &image, &error)) << error;

  // The image where the simulated loader put it, code pages execute-read.
  const uint32_t mapped = (image.sizeOfImage + 0xFFF) & ~0xFFFu;
  const uintptr_t base = sim::MapAnywhere(mapped, 0x10000, sim::kPageReadWrite);
  uint8_t* memory = reinterpret_cast<uint8_t*>(base);
  memcpy(memory, image.memory.data(), image.sizeOfImage);
  const uint32_t b = static_cast<uint32_t>(base);
  if (variant.name == "RotateFarTarget") {
    const uint32_t d = 0u - (b + kRotateSite + 5);  // CALL to address 0
    memcpy(memory + kRotateSite + 1, &d, 4);
  }
  if (variant.name == "SpacingJumpToZero") {
    const uint32_t d = 0u - (b + kSpacingSite + 5);
    memory[kSpacingSite] = 0xE9;
    memcpy(memory + kSpacingSite + 1, &d, 4);
  }
  if (variant.name == "SpacingInPlaceJumpToZero") {  // VHud's first instruction kept
    const uint32_t d = 0u - (b + kSpacingSite + 8);
    memory[kSpacingSite + 3] = 0xE9;
    memcpy(memory + kSpacingSite + 4, &d, 4);
    memory[kSpacingSite + 8] = 0x90;
  }
  if (variant.name == "FiveCentreJumpsToZero") {
    for (uint32_t i = 0; i < 5; ++i) {
      const uint32_t d = 0u - (b + kCentreSites[i].offset + 5);
      memory[kCentreSites[i].offset] = 0xE9;
      memcpy(memory + kCentreSites[i].offset + 1, &d, 4);
    }
  }
  sim::SetProtect(base, mapped, sim::kPageExecuteRead);

  const check::Analysis predicted = check::Analyse(memory, image.sizeOfImage, b);
  const std::vector<uint8_t> before(memory, memory + image.sizeOfImage);
  RunFirstPass(base);
  EXPECT_EQ(sim::LogLines(), Concat(predicted.WorkerLog(), predicted.FirstPassLog()));
  EXPECT_EQ(gState.vhudBase, predicted.knownBuild ? base : 0u);
  // The log explainer knows every line the worker and the installers wrote,
  // values and all.
  for (const std::string& line : sim::LogLines()) {
    const check::LogLineMatch match = check::MatchLogLine(line);
    ASSERT_NE(match.kind, nullptr) << line;
    EXPECT_TRUE(match.kind->topic == check::Topic::kWheel ||
                match.kind->topic == check::Topic::kVhud)
        << line;
  }

  // Every site the checker says would go in has been written; no other byte.
  std::vector<uint8_t> expectedChanged(image.sizeOfImage, 0);
  for (const check::PatchResult& patch : predicted.patches) {
    for (const check::SiteResult& site : patch.sites) {
      if (site.goesIn) {
        memset(&expectedChanged[site.offset], 1, site.length);
      }
    }
  }
  for (uint32_t i = 0; i < image.sizeOfImage; ++i) {
    if (!expectedChanged[i]) {
      ASSERT_EQ(memory[i], before[i]) << "offset " << i;
    }
  }
  for (const check::PatchResult& patch : predicted.patches) {
    for (const check::SiteResult& site : patch.sites) {
      if (site.goesIn) {
        EXPECT_NE(memcmp(memory + site.offset, &before[site.offset], site.length), 0)
            << site.label << " was not written";
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, CheckAgreesWithPlugin, ::testing::ValuesIn(Variants()),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                           return info.param.name;
                         });

TEST(CheckAgreesWithPluginHex, HexWritesWhatAppendHexWrites) {
  for (uint32_t value : {0u, 1u, 0xFFu, 0x10050290u, 0x0ABCDEF0u, 0x80000000u, 0xFFFFFFFFu}) {
    char line[16];
    line[0] = '\0';
    AppendHex(line, value, sizeof(line));
    EXPECT_EQ(check::Hex(value), std::string(line));
  }
}

TEST(CheckAgreesWithPluginStandin, TheSimulatedStandinVhudTakesEveryPatch) {
  sim::Reset();
  ASSERT_TRUE(sim::OpenLogOnly());
  const standin::World world = standin::BuildWorld(false);
  const uint8_t* memory = reinterpret_cast<const uint8_t*>(world.vhudBase);
  const check::Analysis predicted =
      check::Analyse(memory, world.vhudSize, static_cast<uint32_t>(world.vhudBase));
  EXPECT_TRUE(predicted.AllGoIn());
  EXPECT_TRUE(predicted.radarInImage);
  RunInstallersOnce(world.vhudBase, world.vhudSize);
  EXPECT_EQ(sim::LogLines(), predicted.FirstPassLog());
  ASSERT_EQ(predicted.FirstPassLog().size(), 5u);
  EXPECT_EQ(predicted.FirstPassLog()[0],
            "[WHEEL][OK] static-slot patch installed; original RotateVertices=" +
                check::Hex(static_cast<uint32_t>(world.vhudBase) + 0x50290));
  sim::StopWorker();
}

}  // namespace
