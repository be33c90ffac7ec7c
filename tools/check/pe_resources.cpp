#include "check/pe_resources.h"

#include <string.h>

#include <vector>

namespace check {
namespace {

constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kDirectoryHeader = 16;  // IMAGE_RESOURCE_DIRECTORY
constexpr uint32_t kEntrySize = 8;         // IMAGE_RESOURCE_DIRECTORY_ENTRY
constexpr uint32_t kSubdirectory = 0x80000000u;
constexpr uint32_t kFixedSignature = 0xFEEF04BDu;
constexpr uint32_t kFixedSize = 52;  // VS_FIXEDFILEINFO

uint32_t U16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t U32(const uint8_t* p) { return U16(p) | (U16(p + 2) << 16); }

// One step of the directory: the entry for `id` (or, when `id` is 0, the
// first entry) of the directory at `offset` within the resource directory.
// Its OffsetToData in *next.
bool FindEntry(const ReadRva& read, uint32_t base, uint32_t size, uint32_t offset, uint32_t id,
               uint32_t* next) {
  uint8_t header[kDirectoryHeader];
  if (offset > size || size - offset < kDirectoryHeader ||
      !read(base + offset, sizeof(header), header)) {
    return false;
  }
  const uint32_t named = U16(header + 12);
  const uint32_t count = named + U16(header + 14);
  const uint32_t entries = offset + kDirectoryHeader;
  if (uint64_t{count} * kEntrySize > size - entries) {
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t entry[kEntrySize];
    if (!read(base + entries + i * kEntrySize, kEntrySize, entry)) {
      return false;
    }
    const uint32_t name = U32(entry);
    // Named entries come first; only an ID entry can carry the type's ID.
    if (id == 0 || (i >= named && (name & kSubdirectory) == 0 && name == id)) {
      *next = U32(entry + 4);
      return true;
    }
  }
  return false;
}

// A block of VS_VERSIONINFO: wLength, wValueLength, wType, a NUL-ended
// UTF-16 key, padding to 4 bytes, the value, padding, the children.
struct Block {
  uint32_t end;  // offset past the block
  uint32_t valueLength;
  uint32_t type;  // 1: the value is text (its length in UTF-16 units)
  std::u16string key;
  uint32_t value;     // offset of the value
  uint32_t children;  // offset of the first child
};

uint32_t Align4(uint32_t at) { return (at + 3u) & ~3u; }

bool ReadBlock(const uint8_t* data, uint32_t size, uint32_t at, Block* b) {
  if (at > size || size - at < 6) {
    return false;
  }
  const uint32_t length = U16(data + at);
  if (length < 6 || length > size - at) {
    return false;
  }
  b->end = at + length;
  b->valueLength = U16(data + at + 2);
  b->type = U16(data + at + 4);
  b->key.clear();
  uint32_t p = at + 6;
  for (;; p += 2) {
    if (p + 2 > b->end) {
      return false;
    }
    const uint32_t c = U16(data + p);
    if (c == 0) {
      break;
    }
    b->key += static_cast<char16_t>(c);
  }
  b->value = Align4(p + 2);
  const uint32_t valueBytes = b->type == 1 ? b->valueLength * 2 : b->valueLength;
  if (b->value > b->end || valueBytes > b->end - b->value) {
    return false;
  }
  b->children = Align4(b->value + valueBytes);
  return true;
}

void AppendUtf8(std::string* out, uint32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 text up to its NUL or `units` units; a lone surrogate becomes U+FFFD.
std::string TextOf(const uint8_t* p, uint32_t units) {
  std::string text;
  for (uint32_t i = 0; i < units; ++i) {
    uint32_t c = U16(p + 2 * i);
    if (c == 0) {
      break;
    }
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && U16(p + 2 * i + 2) >= 0xDC00 &&
        U16(p + 2 * i + 2) < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (U16(p + 2 * i + 2) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    AppendUtf8(&text, c);
  }
  return text;
}

// The first string table's "ProductName" inside a StringFileInfo block.
void FindProductName(const uint8_t* data, const Block& info, VersionResource* out) {
  Block table;
  if (!ReadBlock(data, info.end, info.children, &table)) {
    return;
  }
  for (uint32_t at = table.children; at < table.end;) {
    Block s;
    if (!ReadBlock(data, table.end, at, &s)) {
      return;
    }
    if (s.key == u"ProductName") {
      const uint32_t units = s.type == 1 ? s.valueLength : s.valueLength / 2;
      out->productName = TextOf(data + s.value, units);
      out->hasProductName = true;
      return;
    }
    at = Align4(s.end);
  }
}

}  // namespace

bool ParseVersionInfo(const uint8_t* data, uint32_t size, VersionResource* out) {
  Block root;
  if (!ReadBlock(data, size, 0, &root) || root.key != u"VS_VERSION_INFO" ||
      root.valueLength < kFixedSize || U32(data + root.value) != kFixedSignature) {
    return false;
  }
  const uint8_t* fixed = data + root.value;
  out->fileVersionMs = U32(fixed + 8);
  out->fileVersionLs = U32(fixed + 12);
  out->fileType = U32(fixed + 36);
  for (uint32_t at = root.children; at < root.end;) {
    Block child;
    if (!ReadBlock(data, root.end, at, &child)) {
      break;
    }
    if (child.key == u"StringFileInfo") {
      FindProductName(data, child, out);
      break;
    }
    at = Align4(child.end);
  }
  return true;
}

bool ReadVersionResource(const ReadRva& read, uint32_t directoryRva, uint32_t directorySize,
                         VersionResource* out) {
  if (directoryRva == 0 || directorySize == 0) {
    return false;
  }
  // Type, name, language: two subdirectories, then a data entry.
  uint32_t next = 0;
  if (!FindEntry(read, directoryRva, directorySize, 0, kRtVersion, &next) ||
      (next & kSubdirectory) == 0 ||
      !FindEntry(read, directoryRva, directorySize, next & ~kSubdirectory, 0, &next) ||
      (next & kSubdirectory) == 0 ||
      !FindEntry(read, directoryRva, directorySize, next & ~kSubdirectory, 0, &next) ||
      (next & kSubdirectory) != 0 || next > directorySize || directorySize - next < 16) {
    return false;
  }
  uint8_t entry[16];  // IMAGE_RESOURCE_DATA_ENTRY: the data's RVA and size
  if (!read(directoryRva + next, sizeof(entry), entry)) {
    return false;
  }
  const uint32_t rva = U32(entry);
  const uint32_t size = U32(entry + 4);
  if (size == 0 || size > kMaxVersionResource) {
    return false;
  }
  std::vector<uint8_t> data(size);
  return read(rva, size, data.data()) && ParseVersionInfo(data.data(), size, out);
}

}  // namespace check
