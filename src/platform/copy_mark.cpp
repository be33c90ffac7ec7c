#include "platform/copy_mark.h"

namespace copymark {
namespace {

constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr uint32_t kFixedInfoSize = 52;
constexpr uint32_t kFileTypeDll = 2;  // VFT_DLL
constexpr uint32_t kMaxChildren = 64;
constexpr char kProductName[] = "Quorvel Icons";

uint32_t Align4(uint32_t at) { return (at + 3u) & ~3u; }

// One block of a VS_VERSIONINFO: wLength, wValueLength, wType, a UTF-16 key,
// the value and the children, each on a 4-byte boundary. Every offset lies
// within the buffer (at most kVersionBytes, so no sum overflows).
struct Block {
  uint32_t end;         // cut at the enclosing block's end
  uint32_t value;       // where the value starts
  uint32_t valueBytes;  // cut at `end`
  uint32_t children;
};

// Whether the UTF-16 text at `at` (up to `end`) is `text` and its NUL;
// `next` gets the offset after the NUL.
bool TextIs(const uint8_t* info, uint32_t at, uint32_t end, const char* text, uint32_t* next) {
  bool same = true;
  uint32_t i = 0;
  for (; at + 2u <= end; at += 2u) {
    uint32_t unit = Word16(info + at);
    if (text != nullptr && same) {
      same = unit == static_cast<uint8_t>(text[i]);
      i += text[i] != '\0' ? 1u : 0u;
    }
    if (unit == 0) {
      *next = at + 2u;
      return same;
    }
  }
  return false;
}

// The block at `at`, inside [.., end), when its key is `key` (any key when
// null).
bool ReadBlock(const uint8_t* info, uint32_t at, uint32_t end, const char* key, Block* block) {
  if (at + 6u > end) {
    return false;
  }
  uint32_t length = Word16(info + at);
  if (length < 6u) {
    return false;
  }
  block->end = at + length < end ? at + length : end;
  uint32_t keyEnd = 0;
  if (!TextIs(info, at + 6u, block->end, key, &keyEnd)) {
    return false;
  }
  block->value = Align4(keyEnd) < block->end ? Align4(keyEnd) : block->end;
  uint32_t valueBytes = Word16(info + at + 2u) * (Word16(info + at + 4u) == 1u ? 2u : 1u);
  block->valueBytes =
      valueBytes < block->end - block->value ? valueBytes : block->end - block->value;
  block->children = Align4(block->value + block->valueBytes);
  return true;
}

// Whether `visit` takes one of the child blocks of `parent`, walked in order
// (at most kMaxChildren; a child shorter than its own header ends the walk).
template <typename Visit>
bool AnyChild(const uint8_t* info, const Block& parent, Visit visit) {
  uint32_t at = parent.children;
  for (uint32_t i = 0; i < kMaxChildren && at + 6u <= parent.end; ++i) {
    if (visit(at)) {
      return true;
    }
    uint32_t length = Word16(info + at);
    if (length < 6u) {
      return false;
    }
    at = Align4(at + length);
  }
  return false;
}

// The first child of `parent` with that key.
bool FindChild(const uint8_t* info, const Block& parent, const char* key, Block* child) {
  return AnyChild(info, parent,
                  [&](uint32_t at) { return ReadBlock(info, at, parent.end, key, child); });
}

// Whether any string table of StringFileInfo has ProductName "Quorvel Icons".
bool HasProductName(const uint8_t* info, const Block& root) {
  Block fileInfo;
  if (!FindChild(info, root, "StringFileInfo", &fileInfo)) {
    return false;
  }
  return AnyChild(info, fileInfo, [&](uint32_t at) {
    Block table;
    Block name;
    uint32_t after = 0;
    return ReadBlock(info, at, fileInfo.end, nullptr, &table) &&
           FindChild(info, table, "ProductName", &name) &&
           TextIs(info, name.value, name.end, kProductName, &after);
  });
}

}  // namespace

bool ReadMark(const uint8_t* mark, CopyVersion* version) {
  for (uint32_t i = 0; i < kCopyMarkRecognitionSize; ++i) {
    if (mark[i] != kCopyMarkRecognition[i]) {
      return false;
    }
  }
  uint32_t packed = Word32(mark + 36);
  *version = {packed >> 16, (packed >> 8) & 0xFFu, packed & 0xFFu};
  return true;
}

bool ReadLegacyVersionInfo(const uint8_t* info, uint32_t length, CopyVersion* version) {
  Block root;
  if (!ReadBlock(info, 0, length, "VS_VERSION_INFO", &root) || root.valueBytes < kFixedInfoSize) {
    return false;
  }
  const uint8_t* fixed = info + root.value;
  if (Word32(fixed) != kFixedInfoSignature || Word32(fixed + 36) != kFileTypeDll ||
      !HasProductName(info, root)) {
    return false;
  }
  *version = {Word32(fixed + 8) >> 16, Word32(fixed + 8) & 0xFFFFu, Word32(fixed + 12) >> 16};
  return true;
}

}  // namespace copymark
