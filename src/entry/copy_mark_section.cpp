// This copy's mark (platform/copy_mark.h): the section ".qimark" and its 40
// bytes are a promise between versions that every later version keeps. The
// linker script keeps the section whole in the image.
#include "platform/copy_mark.h"
#include "qi_version.h"

namespace {

struct MarkBytes {
  uint8_t bytes[kCopyMarkSize];
};

constexpr uint32_t kPackedVersion =
    (QI_VERSION_MAJOR << 16) | (QI_VERSION_MINOR << 8) | QI_VERSION_PATCH;
static_assert(QI_VERSION_MINOR < 256 && QI_VERSION_PATCH < 256, "the mark packs them in a byte");

constexpr MarkBytes MakeMark() {
  MarkBytes mark = {};
  for (uint32_t i = 0; i < kCopyMarkRecognitionSize; ++i) {
    mark.bytes[i] = kCopyMarkRecognition[i];
  }
  for (uint32_t i = 0; i < 4; ++i) {
    mark.bytes[32 + i] = static_cast<uint8_t>(kCopyMarkLayout >> (8 * i));
    mark.bytes[36 + i] = static_cast<uint8_t>(kPackedVersion >> (8 * i));
  }
  return mark;
}

__attribute__((section(".qimark"), used)) const MarkBytes kCopyMark = MakeMark();

}  // namespace
