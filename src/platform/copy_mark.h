// How copies of the plug-in recognise each other, from an image's bytes alone.
//
// A promise between versions, which every later version keeps: each copy
// carries a PE section named ".qimark" whose content begins with these 40
// bytes, in the file and in memory alike:
//   0..23   "Quorvel Icons copy mark" and one NUL
//   24..31  75 30 AB BB 7D 20 F8 B1
//   32..35  layout number, uint32 little-endian (1)
//   36..39  plug-in version, uint32 little-endian: major << 16 | minor << 8 | patch
// The first 32 bytes are the recognition; a later layout may add bytes after
// the 40, never change them. The section's name and these bytes are never
// changed or dropped: older copies look for exactly them.
//
// Copies of 1.0.0 carry no mark; they are known by their version resource: a
// DLL (VFT_DLL) whose ProductName is "Quorvel Icons". The checker carries the
// same ProductName as a program (VFT_APP) and is no copy.
//
// Freestanding: the plug-in runs it over other modules' memory, the checker
// over files. Every read goes through the reader and is bounds-checked, and
// every loop is bounded, whatever the bytes.
#pragma once

#include <stdint.h>

constexpr char kCopyMarkSection[8] = {'.', 'q', 'i', 'm', 'a', 'r', 'k', '\0'};
constexpr uint32_t kCopyMarkSize = 40;
constexpr uint32_t kCopyMarkRecognitionSize = 32;
constexpr uint32_t kCopyMarkLayout = 1;
inline constexpr const uint8_t kCopyMarkRecognition[kCopyMarkRecognitionSize] = {
    'Q', 'u', 'o', 'r', 'v', 'e', 'l', ' ',  'I',  'c',  'o',  'n',  's',  ' ',  'c',  'o',
    'p', 'y', ' ', 'm', 'a', 'r', 'k', '\0', 0x75, 0x30, 0xAB, 0xBB, 0x7D, 0x20, 0xF8, 0xB1};

enum class CopyKind : uint8_t {
  NotACopy,
  Marked,  // carries the mark
  Legacy,  // a 1.0.0 copy: no mark, known by its version resource
};
struct CopyVersion {
  uint32_t major, minor, patch;
};
struct CopyIdentity {
  CopyKind kind;
  CopyVersion version;
};

namespace copymark {

constexpr uint32_t kMaxLfanew = 0x10000;
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kMaxResourceEntries = 64;
// The version resource is read up to this many bytes: the plug-in's is well
// under 1 KiB, and the reader runs on the stack of threads that are not ours.
constexpr uint32_t kVersionBytes = 1536;
constexpr uint32_t kResourceSubdirectory = 0x80000000u;
constexpr uint32_t kRtVersion = 16;

inline uint32_t Word32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint32_t Word16(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

// `a + b`, false when it does not fit in 32 bits.
inline bool Add(uint32_t a, uint32_t b, uint32_t* sum) {
  *sum = a + b;
  return *sum >= a;
}

template <typename ReadRva>
bool Read32(ReadRva& read, uint32_t base, uint32_t offset, uint32_t* value) {
  uint32_t at = 0;
  uint8_t bytes[4];
  if (!Add(base, offset, &at) || !read(at, 4u, bytes)) {
    return false;
  }
  *value = Word32(bytes);
  return true;
}

// Whether `mark` (kCopyMarkSize bytes) is a mark; its version when it is.
bool ReadMark(const uint8_t* mark, CopyVersion* version);
// Whether a VS_VERSIONINFO (`length` bytes, cut at kVersionBytes) is a 1.0.0
// copy's; its file version when it is.
bool ReadLegacyVersionInfo(const uint8_t* info, uint32_t length, CopyVersion* version);

// Entry `index` of the resource directory at `dir` (an offset into the
// resource section of `size` bytes at `rva`): its name or id, its offset.
template <typename ReadRva>
bool ResourceEntry(ReadRva& read, uint32_t rva, uint32_t size, uint32_t dir, uint32_t index,
                   uint32_t* name, uint32_t* offset) {
  uint32_t at = dir + 16u + index * 8u;  // dir < size, index < kMaxResourceEntries
  return at <= size && size - at >= 8u && Read32(read, rva, at, name) &&
         Read32(read, rva, at + 4u, offset);
}

// The number of entries of the resource directory at `dir` (named and by id).
template <typename ReadRva>
bool ResourceCount(ReadRva& read, uint32_t rva, uint32_t size, uint32_t dir, uint32_t* count) {
  uint32_t counts = 0;
  if (dir >= size || size - dir < 16u || !Read32(read, rva, dir + 12u, &counts)) {
    return false;
  }
  *count = (counts & 0xFFFFu) + (counts >> 16);
  return true;
}

// The VS_VERSIONINFO of the first name and language of RT_VERSION.
template <typename ReadRva>
bool FindVersionInfo(ReadRva& read, uint32_t rva, uint32_t size, uint32_t* infoRva,
                     uint32_t* infoSize) {
  uint32_t count = 0;
  if (!ResourceCount(read, rva, size, 0, &count)) {
    return false;
  }
  uint32_t next = 0;
  bool found = false;
  for (uint32_t i = 0; i < count && i < kMaxResourceEntries && !found; ++i) {
    uint32_t name = 0;
    if (!ResourceEntry(read, rva, size, 0, i, &name, &next)) {
      return false;
    }
    found = name == kRtVersion;
  }
  // Down two levels (name, language) by their first entries.
  for (uint32_t level = 0; found && level < 2; ++level) {
    uint32_t name = 0;
    if ((next & kResourceSubdirectory) == 0 ||
        !ResourceCount(read, rva, size, next & ~kResourceSubdirectory, &count) || count == 0 ||
        !ResourceEntry(read, rva, size, next & ~kResourceSubdirectory, 0, &name, &next)) {
      return false;
    }
  }
  // A data entry: the data's RVA and size.
  return found && (next & kResourceSubdirectory) == 0 && next < size && size - next >= 16u &&
         Read32(read, rva, next, infoRva) && Read32(read, rva, next + 4u, infoSize);
}

}  // namespace copymark

// What the image read through `read(rva, length, out)` is: a copy with the
// mark, a 1.0.0 copy, or no copy. `read` copies `length` bytes at that RVA to
// `out` and returns false when they cannot be read.
template <typename ReadRva>
CopyIdentity IdentifyCopy(ReadRva read) {
  using namespace copymark;
  CopyIdentity none = {CopyKind::NotACopy, {0, 0, 0}};
  uint8_t header[24];
  uint32_t lfanew = 0;
  if (!read(0u, 2u, header) || header[0] != 'M' || header[1] != 'Z' ||
      !Read32(read, 0u, 0x3Cu, &lfanew) || lfanew > kMaxLfanew || !read(lfanew, 24u, header) ||
      Word32(header) != 0x4550u) {
    return none;
  }
  const uint32_t sections = Word16(header + 6);
  const uint32_t optional = lfanew + 24u;
  const uint32_t optionalSize = Word16(header + 20);
  uint32_t magic = 0;
  if (!Read32(read, optional, 0u, &magic) || (magic & 0xFFFFu) != 0x10Bu) {
    return none;
  }
  uint32_t section = optional + optionalSize;
  for (uint32_t i = 0; i < sections && i < kMaxSections; ++i, section += 40u) {
    uint8_t entry[16];
    uint8_t mark[kCopyMarkSize];
    if (!read(section, 16u, entry)) {
      return none;
    }
    bool named = true;
    for (uint32_t k = 0; k < 8; ++k) {
      named = named && entry[k] == static_cast<uint8_t>(kCopyMarkSection[k]);
    }
    CopyIdentity marked = {CopyKind::Marked, {0, 0, 0}};
    if (named && Word32(entry + 8) >= kCopyMarkSize &&
        read(Word32(entry + 12), kCopyMarkSize, mark) && ReadMark(mark, &marked.version)) {
      return marked;
    }
  }
  // No mark: the version resource (data directory 2).
  uint32_t directories = 0;
  uint32_t resourceRva = 0;
  uint32_t resourceSize = 0;
  uint32_t infoRva = 0;
  uint32_t infoSize = 0;
  uint8_t info[kVersionBytes];
  if (optionalSize < 96u + 3u * 8u || !Read32(read, optional, 92u, &directories) ||
      directories < 3u || !Read32(read, optional, 96u + 16u, &resourceRva) ||
      !Read32(read, optional, 96u + 20u, &resourceSize) || resourceRva == 0 ||
      !FindVersionInfo(read, resourceRva, resourceSize, &infoRva, &infoSize)) {
    return none;
  }
  const uint32_t length = infoSize < kVersionBytes ? infoSize : kVersionBytes;
  CopyIdentity legacy = {CopyKind::Legacy, {0, 0, 0}};
  if (read(infoRva, length, info) && ReadLegacyVersionInfo(info, length, &legacy.version)) {
    return legacy;
  }
  return none;
}
