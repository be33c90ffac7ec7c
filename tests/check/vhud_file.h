// A synthesized VHud.asi file: PE32 headers and three sections laid out so
// that every wheel site holds VHud's original bytes, with the offsets of the
// header fields that the tests corrupt.
//
//   headers   0x000 to 0x200 (e_lfanew 0x80, optional header 0xE0 bytes,
//             section table at 0x178, three entries)
//   .text     rva 0x1000,  0x6A000 bytes, nothing in the file (zero-filled)
//   .wheel    rva 0x6B000, 0x2000 bytes, file 0x200 to 0x2200: the sites,
//             and VHud's six centre-text constants at rva 0x6CF00
//   .data     rva 0x6D000 to SizeOfImage, first 0x200 bytes from file 0x2200
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vhudfile {

constexpr uint32_t kLfanew = 0x80;
constexpr uint32_t kFileHeader = kLfanew + 4;
constexpr uint32_t kNumberOfSections = kFileHeader + 2;
constexpr uint32_t kSizeOfOptionalHeader = kFileHeader + 16;
constexpr uint32_t kOptional = kFileHeader + 20;
constexpr uint32_t kMagic = kOptional;
constexpr uint32_t kImageBase = kOptional + 28;
constexpr uint32_t kSectionAlignment = kOptional + 32;
constexpr uint32_t kFileAlignment = kOptional + 36;
constexpr uint32_t kSizeOfImage = kOptional + 56;
constexpr uint32_t kSizeOfHeaders = kOptional + 60;
constexpr uint32_t kNumberOfRvaAndSizes = kOptional + 92;
constexpr uint32_t kSectionTable = kOptional + 0xE0;
constexpr uint32_t kHeadersEnd = 0x200;
// Fields of section entry i (0-based).
constexpr uint32_t SectionField(uint32_t i, uint32_t field) {
  return kSectionTable + 40 * i + field;
}
constexpr uint32_t kVirtualSize = 8;
constexpr uint32_t kVirtualAddress = 12;
constexpr uint32_t kRawSize = 16;
constexpr uint32_t kRawPointer = 20;

constexpr uint32_t kDefaultBase = 0x10000000;
constexpr uint32_t kFullSize = 0x104A000;
constexpr uint32_t kWheelRva = 0x6B000;
constexpr uint32_t kWheelRaw = 0x200;
constexpr uint32_t kWheelSize = 0x2000;
constexpr uint32_t kDataRva = 0x6D000;
constexpr uint32_t kDataRaw = 0x2200;
constexpr uint32_t kDataFileSize = 0x200;
constexpr uint32_t kConstants = 0x6CF00;

constexpr uint32_t kRotateSite = 0x6CDA8;
constexpr uint32_t kSpacingSite = 0x6BBD9;
struct CentreSite {
  uint32_t offset;
  uint8_t operation;
  const char* label;
};
constexpr CentreSite kCentreSites[6] = {
    {0x6C49F, 0x5C, "name-y"},  {0x6C4CE, 0x58, "name-x"},  {0x6C55F, 0x5C, "count-y"},
    {0x6C590, 0x58, "count-x"}, {0x6C65F, 0x5C, "arrow-y"}, {0x6C8A1, 0x58, "extra-x"},
};

inline void Put8(std::vector<uint8_t>& f, uint32_t at, uint32_t v) {
  f.at(at) = static_cast<uint8_t>(v);
}
inline void Put16(std::vector<uint8_t>& f, uint32_t at, uint32_t v) {
  Put8(f, at, v);
  Put8(f, at + 1, v >> 8);
}
inline void Put32(std::vector<uint8_t>& f, uint32_t at, uint32_t v) {
  Put16(f, at, v);
  Put16(f, at + 2, v >> 16);
}
inline uint32_t Get32(const std::vector<uint8_t>& f, uint32_t at) {
  return f.at(at) | (f.at(at + 1) << 8) | (f.at(at + 2) << 16) |
         (static_cast<uint32_t>(f.at(at + 3)) << 24);
}

// File offset of an image offset inside .wheel.
inline uint32_t WheelFileOffset(uint32_t rva) { return kWheelRaw + (rva - kWheelRva); }

// The file; SizeOfImage at least 0x6B001 (the sections are cut to it).
inline std::vector<uint8_t> Build(uint32_t base = kDefaultBase, uint32_t sizeOfImage = kFullSize) {
  const uint32_t wheelSize = std::min(kWheelSize, sizeOfImage - kWheelRva);
  const bool hasData = sizeOfImage > kDataRva;
  std::vector<uint8_t> f(hasData ? kDataRaw + kDataFileSize : kWheelRaw + wheelSize, 0);
  Put16(f, 0, 0x5A4D);
  Put32(f, 0x3C, kLfanew);
  Put32(f, kLfanew, 0x00004550);
  Put16(f, kFileHeader, 0x014C);
  Put16(f, kNumberOfSections, hasData ? 3 : 2);
  Put16(f, kSizeOfOptionalHeader, 0xE0);
  Put16(f, kFileHeader + 18, 0x2102);
  Put16(f, kMagic, 0x010B);
  Put32(f, kImageBase, base);
  Put32(f, kSectionAlignment, 0x1000);
  Put32(f, kFileAlignment, 0x200);
  Put32(f, kSizeOfImage, sizeOfImage);
  Put32(f, kSizeOfHeaders, kHeadersEnd);
  Put32(f, kNumberOfRvaAndSizes, 16);
  auto section = [&](uint32_t i, const char* name, uint32_t rva, uint32_t vsize, uint32_t raw,
                     uint32_t rawSize, uint32_t flags) {
    memcpy(&f[SectionField(i, 0)], name, strlen(name));
    Put32(f, SectionField(i, kVirtualSize), vsize);
    Put32(f, SectionField(i, kVirtualAddress), rva);
    Put32(f, SectionField(i, kRawSize), rawSize);
    Put32(f, SectionField(i, kRawPointer), raw);
    Put32(f, SectionField(i, 36), flags);
  };
  section(0, ".text", 0x1000, kWheelRva - 0x1000, 0, 0, 0x60000020);
  section(1, ".wheel", kWheelRva, wheelSize, kWheelRaw, wheelSize, 0x60000020);
  if (hasData) {
    section(2, ".data", kDataRva, sizeOfImage - kDataRva, kDataRaw, kDataFileSize, 0xC0000040);
    for (uint32_t i = 0; i < kDataFileSize; ++i) {
      Put8(f, kDataRaw + i, 0xA0 + (i & 0xF));
    }
  }
  auto inWheel = [&](uint32_t rva, uint32_t length) {
    return rva + length <= kWheelRva + wheelSize;
  };
  if (inWheel(kRotateSite, 5)) {  // CALL RotateVertices (VHud+0x50290)
    Put8(f, WheelFileOffset(kRotateSite), 0xE8);
    Put32(f, WheelFileOffset(kRotateSite) + 1, 0x50290u - (kRotateSite + 5));
  }
  const uint8_t spacing[9] = {0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF};
  for (uint32_t i = 0; i < 9 && inWheel(kSpacingSite + i, 1); ++i) {
    Put8(f, WheelFileOffset(kSpacingSite + i), spacing[i]);
  }
  for (uint32_t i = 0; i < 6; ++i) {
    const uint32_t at = WheelFileOffset(kCentreSites[i].offset);
    const uint8_t op[8] = {0xF3, 0x0F, kCentreSites[i].operation, 0x05, 0, 0, 0, 0};
    for (uint32_t k = 0; k < 8 && inWheel(kCentreSites[i].offset + k, 1); ++k) {
      Put8(f, at + k, k < 4 ? op[k] : (base + kConstants + 4 * i) >> (8 * (k - 4)));
    }
    if (inWheel(kConstants + 4 * i, 4)) {
      Put32(f, WheelFileOffset(kConstants + 4 * i), 0x41000000 + i);
    }
  }
  return f;
}

// Another build of VHud: the code of .wheel lies 0x30 bytes further on, so
// that other bytes stand at every known site.
constexpr uint32_t kOtherBuildShift = 0x30;
inline std::vector<uint8_t> BuildOtherBuild(uint32_t base = kDefaultBase) {
  std::vector<uint8_t> f = Build(base);
  std::copy_backward(f.begin() + kWheelRaw, f.begin() + kWheelRaw + kWheelSize - kOtherBuildShift,
                     f.begin() + kWheelRaw + kWheelSize);
  std::fill(f.begin() + kWheelRaw, f.begin() + kWheelRaw + kOtherBuildShift, 0xCC);
  return f;
}

// E8/E9 and the displacement from image offset `site` to absolute `target`.
inline std::vector<uint8_t> Rel(uint8_t opcode, uint32_t base, uint32_t site, uint32_t target) {
  uint32_t d = target - (base + site + 5);
  return {opcode, static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8),
          static_cast<uint8_t>(d >> 16), static_cast<uint8_t>(d >> 24)};
}

}  // namespace vhudfile
