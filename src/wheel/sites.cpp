#include "wheel/sites.h"

#include "host/vhud_offsets.h"
#include "platform/platform.h"

const uint8_t kSpacingSignature[9] = {0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF};

constexpr CentreTextSite kCentreTextSites[6] = {
    {0x6C49F, 0x5C, "name-y"},  {0x6C4CE, 0x58, "name-x"},  {0x6C55F, 0x5C, "count-y"},
    {0x6C590, 0x58, "count-x"}, {0x6C65F, 0x5C, "arrow-y"}, {0x6C8A1, 0x58, "extra-x"},
};

// Each operand is re-pointed by one locked 4-byte store; at VHud's 64 KiB
// aligned base it must lie inside one cache line.
constexpr bool OperandsInOneCacheLine() {
  for (const CentreTextSite& s : kCentreTextSites) {
    if (!InOneCacheLine(s.offset + 4, 4)) {
      return false;
    }
  }
  return true;
}
static_assert(OperandsInOneCacheLine(), "a centre-text operand crosses a cache line");

namespace {

uint32_t Word(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

RotateSiteInfo ClassifyRotateSite(const uint8_t bytes[5], uint32_t vhudBase, uint32_t redirect) {
  RotateSiteInfo info = {RotateSite::NotCall, 0, vhudBase + vhud::kRotateVertices};
  if (bytes[0] != 0xE8) {
    return info;
  }
  info.target = RelativeTarget(vhudBase + vhud::kRotateCallSite, Word(bytes + 1));
  if (info.target == redirect) {
    info.kind = RotateSite::Redirected;
  } else if (info.target == info.expected) {
    info.kind = RotateSite::Original;
  } else {
    info.kind = RotateSite::OtherTarget;
  }
  return info;
}

SpacingSite ClassifySpacingSite(const uint8_t bytes[9], uint32_t vhudBase, uint32_t cave) {
  bool firstKept = bytes[0] == kSpacingSignature[0] && bytes[1] == kSpacingSignature[1] &&
                   bytes[2] == kSpacingSignature[2];
  if (firstKept && bytes[3] == 0xE9 && bytes[8] == 0x90 &&
      RelativeTarget(vhudBase + vhud::kSpacingJump, Word(bytes + 4)) == cave) {
    return SpacingSite::Redirected;
  }
  for (uint32_t i = 0; i < 9; ++i) {
    if (bytes[i] != kSpacingSignature[i]) {
      return SpacingSite::Mismatch;
    }
  }
  return SpacingSite::Original;
}

OperandSite ClassifyOperandSite(const uint8_t bytes[8], uint8_t operation, uint32_t target) {
  if (bytes[0] != 0xF3 || bytes[1] != 0x0F || bytes[2] != operation || bytes[3] != 0x05) {
    return OperandSite::Mismatch;
  }
  return Word(bytes + 4) == target ? OperandSite::Redirected : OperandSite::Original;
}

constexpr BuildSite kBuildSites[kBuildSiteCount] = {
    {vhud::kRotateCallSite, 5, 5, 0},       {vhud::kSpacingSite, 9, 9, 5},
    {kCentreTextSites[0].offset, 5, 4, 14}, {kCentreTextSites[1].offset, 5, 4, 19},
    {kCentreTextSites[2].offset, 5, 4, 24}, {kCentreTextSites[3].offset, 5, 4, 29},
    {kCentreTextSites[4].offset, 5, 4, 34}, {kCentreTextSites[5].offset, 5, 4, 39},
};
static_assert(kBuildSites[kBuildSiteCount - 1].at + 5 == kBuildSampleSize, "the sample is full");

bool ForeignJump(const uint8_t* bytes, uint32_t offset, ImageRange vhud, ImageRange plugin,
                 uint32_t* target) {
  if (bytes[0] != 0xE8 && bytes[0] != 0xE9) {
    return false;
  }
  *target = RelativeTarget(vhud.base + offset, Word(bytes + 1));
  return !vhud.Holds(*target) && !plugin.Holds(*target);
}

namespace {

uint32_t SameBytes(const uint8_t* found, const uint8_t* known, uint32_t length) {
  uint32_t same = 0;
  for (uint32_t i = 0; i < length; ++i) {
    same += found[i] == known[i] ? 1 : 0;
  }
  return same;
}

// The matching bytes of one readable site that is no other party's jump.
uint32_t MatchingAt(uint32_t i, const uint8_t* found, uint32_t vhudBase, uint32_t redirect,
                    uint32_t cave) {
  if (i == 0) {
    // The call's displacement is relative: the same at every load address.
    uint8_t known[5] = {0xE8, 0, 0, 0, 0};
    const uint32_t displacement = vhud::kRotateVertices - vhud::kRotateCallEnd;
    __builtin_memcpy(known + 1, &displacement, 4);
    RotateSite kind = ClassifyRotateSite(found, vhudBase, redirect).kind;
    bool whole = kind == RotateSite::Original || (kind == RotateSite::Redirected && redirect != 0);
    return whole ? 5 : SameBytes(found, known, 5);
  }
  if (i == 1) {
    SpacingSite kind = ClassifySpacingSite(found, vhudBase, cave);
    bool whole = kind == SpacingSite::Original || (kind == SpacingSite::Redirected && cave != 0);
    return whole ? 9 : SameBytes(found, kSpacingSignature, 9);
  }
  // A re-pointed centre-text site keeps its opcode bytes.
  const uint8_t known[4] = {0xF3, 0x0F, kCentreTextSites[i - 2].operation, 0x05};
  return SameBytes(found, known, 4);
}

}  // namespace

BuildVerdict RecogniseBuild(const BuildSample& sample, ImageRange vhud, uint32_t redirect,
                            uint32_t cave, ImageRange plugin) {
  BuildVerdict verdict = {0, kBuildByteCount, 0, false};
  for (uint32_t i = 0; i < kBuildSiteCount; ++i) {
    if (!sample.readable[i]) {
      continue;
    }
    const BuildSite& s = kBuildSites[i];
    const uint8_t* found = sample.bytes + s.at;
    uint32_t target = 0;
    if (sample.whole[i] && ForeignJump(found, s.offset, vhud, plugin, &target)) {
      verdict.foreign = static_cast<uint8_t>(verdict.foreign | (1u << i));
      verdict.judged -= s.judged;
    } else {
      verdict.matching += MatchingAt(i, found, vhud.base, redirect, cave);
    }
  }
  verdict.known = verdict.judged >= kBuildFloor && 2 * verdict.matching > verdict.judged;
  return verdict;
}
