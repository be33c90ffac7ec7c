#include "check/copy_identity.h"

namespace check {

CopyIdentity IdentifyCopyFile(const PeImage& layout, const uint8_t* file, size_t size) {
  return IdentifyCopy([&](uint32_t rva, uint32_t length, uint8_t* out) {
    return ReadAtRva(layout, file, size, rva, length, out);
  });
}

uint64_t VersionOrder(const CopyVersion& v) {
  auto part = [](uint32_t p) { return uint64_t{p < 0xFFFF ? p : 0xFFFF}; };
  return part(v.major) << 32 | part(v.minor) << 16 | part(v.patch);
}

std::string VersionText(const CopyVersion& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

}  // namespace check
