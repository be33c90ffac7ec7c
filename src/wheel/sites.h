// Recognition of the wheel patch sites from their bytes alone: what an
// installer finds at a site decides what it does there. Pure functions over
// a copy of the bytes, so any reader of a VHud image can ask the same
// questions.
#pragma once

#include <stdint.h>

// The call of RotateVertices (5 bytes at VHud+0x6CDA8).
enum class RotateSite : uint8_t {
  NotCall,      // first byte is not E8
  Redirected,   // calls `redirect`
  Original,     // calls VHud's RotateVertices: to be redirected
  OtherTarget,  // calls anything else
};
struct RotateSiteInfo {
  RotateSite kind;
  uint32_t target;    // the call's target (0 for NotCall)
  uint32_t expected;  // VHud's RotateVertices
};
RotateSiteInfo ClassifyRotateSite(const uint8_t bytes[5], uint32_t vhudBase, uint32_t redirect);

// The slot-spacing site (9 bytes at VHud+0x6BBD9): VHud's 8B 7A 44 (EDI =
// [EDX+44h]) and 8D 8D A4 C0 FF FF (ECX = EBP-3F5Ch). The patch keeps the
// first instruction and puts E9 <rel32 to the cave> 90 over the second.
enum class SpacingSite : uint8_t {
  Redirected,  // 8B 7A 44, then E9 to `cave` at +3, then 90
  Original,    // VHud's nine bytes: to be patched
  Mismatch,    // anything else (a jump at +0 too, whatever its target)
};
SpacingSite ClassifySpacingSite(const uint8_t bytes[9], uint32_t vhudBase, uint32_t cave);
extern const uint8_t kSpacingSignature[9];

// One centre-text operand site (8 bytes).
enum class OperandSite : uint8_t {
  Redirected,  // expected opcode bytes, operand already `target`
  Original,    // expected opcode bytes, another operand: to be re-pointed
  Mismatch,    // other bytes
};
OperandSite ClassifyOperandSite(const uint8_t bytes[8], uint8_t operation, uint32_t target);

struct CentreTextSite {
  uint32_t offset;
  uint8_t operation;  // 0x5C subtract, 0x58 add
  const char* label;
};
extern const CentreTextSite kCentreTextSites[6];

// ---- The build of VHud -------------------------------------------------------
// Whether VHud is the build whose offsets the plug-in knows, judged once from
// the bytes at the known sites: the rotate call's five, the spacing site's
// nine and the four opcode bytes of each centre-text site (their operands are
// absolute addresses, which move with VHud's load address, and are left out).
// Another party may have changed a byte or two of a few sites, or put the
// plug-in's own patches there; another build has other code at those offsets,
// so that the sites as a whole do not match.
//
// Another party's detour is no evidence either way: a site whose first byte
// is E8 or E9 with a rel32 target outside VHud's image and outside the
// plug-in's own is left out, and the build is judged on the bytes of the
// other sites. At least kBuildFloor of them must be left: another build's
// code at these offsets need not begin an instruction there, and a stray E8
// or E9 byte decodes to a target outside the image, so that too few bytes
// left would let a few chance matches carry the verdict. 18 is the fewest
// with which no single site can (the largest, the spacing site, holds nine
// of the ten matching bytes that 18 ask for); it is what is left with jumps
// on five of the six centre-text sites. With jumps on every site nothing is
// left, and VHud counts as another build: nothing shows which build it is,
// and the HUD hook and the frames use VHud's data at fixed offsets.
struct BuildSite {
  uint32_t offset;  // from VHud's load address
  uint8_t length;   // bytes read: those judged, and for a centre-text site
                    // the operand's first byte, which a 5-byte jump covers
  uint8_t judged;   // bytes that count, from the first
  uint8_t at;       // where its bytes stand in BuildSample::bytes
};
constexpr uint32_t kBuildSiteCount = 8;
constexpr uint32_t kBuildByteCount = 5 + 9 + 6 * 4;   // bytes judged
constexpr uint32_t kBuildSampleSize = 5 + 9 + 6 * 5;  // bytes read
constexpr uint32_t kBuildFloor = 18;
extern const BuildSite kBuildSites[kBuildSiteCount];

// The sites as a reader found them. A site whose judged bytes could not be
// read (or lie past SizeOfImage) is not `readable`; its bytes are then
// ignored. `whole`: all `length` bytes were read, so that a jump there can be
// told.
struct BuildSample {
  uint8_t bytes[kBuildSampleSize];
  bool readable[kBuildSiteCount];
  bool whole[kBuildSiteCount];
};

// Fills `sample` through `read(offset, length, out)`, which copies that many
// bytes of the image at that offset to `out` and says whether it could; bytes
// that do not lie wholly inside the image's `size` bytes are not read.
template <typename Read>
void SampleBuildSites(uint32_t size, Read read, BuildSample* sample) {
  auto take = [&](uint32_t offset, uint32_t length, uint8_t* out) {
    return offset <= size && size - offset >= length && read(offset, length, out);
  };
  for (uint32_t i = 0; i < kBuildSiteCount; ++i) {
    const BuildSite& s = kBuildSites[i];
    uint8_t* out = sample->bytes + s.at;
    sample->whole[i] = take(s.offset, s.length, out);
    sample->readable[i] =
        sample->whole[i] || (s.length != s.judged && take(s.offset, s.judged, out));
  }
}

// An image's address range, [base, base + size); size 0 holds nothing.
struct ImageRange {
  uint32_t base;
  uint32_t size;
  bool Holds(uint32_t address) const { return address - base < size; }
};

// Whether the bytes at a site (at least 5, at VHud's `offset`) hold another
// party's detour: E8 or E9 whose target lies outside `vhud` and `plugin`.
// `target` receives the target.
bool ForeignJump(const uint8_t* bytes, uint32_t offset, ImageRange vhud, ImageRange plugin,
                 uint32_t* target);

struct BuildVerdict {
  uint32_t matching;  // bytes that are the known build's, 0 to `judged`
  uint32_t judged;    // bytes judged: kBuildByteCount less the sites left out
  uint8_t foreign;    // bit i: kBuildSites[i] left out, another party's jump
  bool known;         // at least kBuildFloor judged, more than half matching
};

// A site in the plug-in's patched form (the call to `redirect`, the jump to
// `cave`) counts as wholly matching; 0 stands for no plug-in code, as in a
// file on disk, whose `plugin` range is empty. An unreadable site counts as
// not matching.
BuildVerdict RecogniseBuild(const BuildSample& sample, ImageRange vhud, uint32_t redirect,
                            uint32_t cave, ImageRange plugin);
