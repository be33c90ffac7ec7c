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
