#include "check/copy_identity.h"

#include <string.h>

#include "check/pe_resources.h"

namespace check {
namespace {

constexpr char kMarkSection[] = ".qimark";
constexpr uint8_t kMarkText[24] = "Quorvel Icons copy mark";
constexpr uint8_t kMarkMagic[8] = {0x75, 0x30, 0xAB, 0xBB, 0x7D, 0x20, 0xF8, 0xB1};
constexpr uint32_t kMarkLayout = 1;
constexpr uint32_t kMarkSize = 24 + 8 + 4 + 4;
constexpr char kProductName[] = "Quorvel Icons";

uint32_t U32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

CopyIdentity IdentifyCopyFile(const PeImage& layout, const uint8_t* file, size_t size) {
  const ReadRva read = [&](uint32_t rva, uint32_t length, uint8_t* out) {
    return ReadAtRva(layout, file, size, rva, length, out);
  };
  CopyIdentity identity;
  for (const Section& s : layout.sections) {
    uint8_t mark[kMarkSize];
    if (s.name == kMarkSection && read(s.virtualAddress, kMarkSize, mark) &&
        memcmp(mark, kMarkText, 24) == 0 && memcmp(mark + 24, kMarkMagic, 8) == 0 &&
        U32(mark + 32) == kMarkLayout) {
      identity.kind = CopyKind::Marked;
      identity.version = U32(mark + 36);
      return identity;
    }
  }
  VersionResource resource;
  if (ReadVersionResource(read, layout.resourceRva, layout.resourceSize, &resource) &&
      resource.fileType == kVftDll && resource.hasProductName &&
      resource.productName == kProductName) {
    identity.kind = CopyKind::Legacy;
    const uint32_t major = resource.fileVersionMs >> 16, minor = resource.fileVersionMs & 0xFFFF;
    const uint32_t patch = resource.fileVersionLs >> 16;
    identity.version = (major > 255 ? 255 : major) << 16 | (minor > 255 ? 255 : minor) << 8 |
                       (patch > 255 ? 255 : patch);
  }
  return identity;
}

std::string VersionText(uint32_t version) {
  return std::to_string(version >> 16) + "." + std::to_string((version >> 8) & 0xFF) + "." +
         std::to_string(version & 0xFF);
}

}  // namespace check
