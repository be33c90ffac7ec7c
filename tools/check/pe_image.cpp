#include "check/pe_image.h"

#include <stdio.h>
#include <string.h>

namespace check {

namespace {

// File header and optional header field offsets (PE32).
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalFixedSize = 0x60;  // through NumberOfRvaAndSizes
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kMagicPe32 = 0x10B;

// Bounds-checked little-endian reads; every caller has checked the range
// already, the check here only keeps a mistake from reading past the file.
struct Reader {
  const uint8_t* data;
  uint64_t size;
  uint32_t U8(uint64_t at) const { return at < size ? data[at] : 0; }
  uint32_t U16(uint64_t at) const { return U8(at) | (U8(at + 1) << 8); }
  uint32_t U32(uint64_t at) const { return U16(at) | (U16(at + 2) << 16); }
};

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::string SectionName(const Reader& r, uint64_t at) {
  std::string name;
  for (uint32_t i = 0; i < 8; ++i) {
    uint32_t c = r.U8(at + i);
    if (c == 0) {
      break;
    }
    name += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return name.empty() ? std::string("(unnamed)") : name;
}

bool Fail(std::string* error, const std::string& reason) {
  *error = reason;
  return false;
}

}  // namespace

std::string Hex(uint32_t value) {
  char text[12];
  snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

bool ReadPeLayout(const uint8_t* file, size_t size, PeImage* image, std::string* error) {
  const Reader r = {file, size};
  if (size < 0x40) {
    return Fail(error, "too short for a DOS header (" + std::to_string(size) + " bytes)");
  }
  if (r.U16(0) != 0x5A4D) {
    return Fail(error, "not a PE image: no MZ signature");
  }
  const uint32_t nt = r.U32(0x3C);
  if (nt > size || size - nt < uint64_t{4 + kFileHeaderSize}) {
    return Fail(error, "e_lfanew " + Hex(nt) + " points past the end of the file");
  }
  if (r.U32(nt) != 0x00004550) {
    return Fail(error, "not a PE image: no PE signature at e_lfanew " + Hex(nt));
  }
  const uint64_t fileHeader = uint64_t{nt} + 4;
  const uint32_t machine = r.U16(fileHeader);
  const uint32_t sectionCount = r.U16(fileHeader + 2);
  const uint32_t optionalSize = r.U16(fileHeader + 16);
  if (machine != kMachineI386) {
    return Fail(error, "not a 32-bit x86 image (machine " + Hex(machine) + ")");
  }
  if (sectionCount > kMaxSections) {
    return Fail(error, "too many sections (" + std::to_string(sectionCount) + ", at most " +
                           std::to_string(kMaxSections) + ")");
  }
  if (optionalSize < kOptionalFixedSize) {
    return Fail(error,
                "optional header too small (SizeOfOptionalHeader " + Hex(optionalSize) + ")");
  }
  const uint64_t optional = fileHeader + kFileHeaderSize;
  if (optional + optionalSize > size) {
    return Fail(error, "optional header runs past the end of the file");
  }
  if (r.U16(optional) != kMagicPe32) {
    return Fail(error, "not a PE32 image (optional header magic " + Hex(r.U16(optional)) + ")");
  }
  const uint32_t imageBase = r.U32(optional + 28);
  const uint32_t sectionAlignment = r.U32(optional + 32);
  const uint32_t fileAlignment = r.U32(optional + 36);
  const uint32_t sizeOfImage = r.U32(optional + 56);
  const uint32_t sizeOfHeaders = r.U32(optional + 60);
  const uint32_t directories = r.U32(optional + 92);
  if (uint64_t{directories} * 8 > optionalSize - kOptionalFixedSize) {
    return Fail(error, "NumberOfRvaAndSizes " + Hex(directories) +
                           " does not fit SizeOfOptionalHeader " + Hex(optionalSize));
  }
  if (!IsPowerOfTwo(sectionAlignment) || !IsPowerOfTwo(fileAlignment) ||
      fileAlignment > sectionAlignment) {
    return Fail(error, "bad alignment (SectionAlignment " + Hex(sectionAlignment) +
                           ", FileAlignment " + Hex(fileAlignment) + ")");
  }
  if (sizeOfImage > kMaxSizeOfImage) {
    return Fail(
        error, "SizeOfImage " + Hex(sizeOfImage) + " exceeds the limit of " + Hex(kMaxSizeOfImage));
  }
  const uint64_t table = optional + optionalSize;
  const uint64_t tableEnd = table + uint64_t{kSectionHeaderSize} * sectionCount;
  if (tableEnd > size) {
    return Fail(error, "section table runs past the end of the file");
  }
  if (sizeOfHeaders < tableEnd || sizeOfHeaders > size) {
    return Fail(error, "SizeOfHeaders " + Hex(sizeOfHeaders) +
                           " does not cover the headers within the file");
  }
  if (sizeOfImage < sizeOfHeaders) {
    return Fail(error, "SizeOfImage " + Hex(sizeOfImage) + " is smaller than SizeOfHeaders " +
                           Hex(sizeOfHeaders));
  }

  std::vector<Section> sections;
  uint64_t previousEnd = sizeOfHeaders;
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint64_t at = table + uint64_t{kSectionHeaderSize} * i;
    Section s;
    s.name = SectionName(r, at);
    s.virtualSize = r.U32(at + 8);
    s.virtualAddress = r.U32(at + 12);
    s.rawSize = r.U32(at + 16);
    s.rawPointer = r.U32(at + 20);
    if (s.virtualSize == 0) {
      s.virtualSize = s.rawSize;
    }
    // No file position means no file data, whatever SizeOfRawData says (the
    // loader zero-fills such a section; GNU ld writes them for sections
    // without contents).
    const uint32_t fileBytes = s.rawPointer == 0 ? 0 : s.rawSize;
    s.mappedSize = fileBytes < s.virtualSize ? fileBytes : s.virtualSize;
    const std::string which = "section " + std::to_string(i + 1) + " (" + s.name + "): ";
    if (fileBytes != 0 && uint64_t{s.rawPointer} + fileBytes > size) {
      return Fail(error, which + "raw data " + Hex(s.rawPointer) + "+" + Hex(s.rawSize) +
                             " runs past the end of the file");
    }
    const uint64_t end = uint64_t{s.virtualAddress} + s.virtualSize;
    if (end > sizeOfImage) {
      return Fail(error, which + "virtual range " + Hex(s.virtualAddress) + "+" +
                             Hex(s.virtualSize) + " lies beyond SizeOfImage " + Hex(sizeOfImage));
    }
    if (s.virtualAddress < previousEnd) {
      return Fail(error, which + "virtual address " + Hex(s.virtualAddress) +
                             " overlaps the headers or the section before it");
    }
    previousEnd = end;
    sections.push_back(s);
  }

  image->imageBase = imageBase;
  image->sizeOfImage = sizeOfImage;
  image->sizeOfHeaders = sizeOfHeaders;
  image->sections = std::move(sections);
  image->memory.clear();
  return true;
}

bool MapPeImage(const uint8_t* file, size_t size, PeImage* image, std::string* error) {
  if (!ReadPeLayout(file, size, image, error)) {
    return false;
  }
  image->memory.assign(image->sizeOfImage, 0);
  memcpy(image->memory.data(), file, image->sizeOfHeaders);
  for (const Section& s : image->sections) {
    if (s.mappedSize != 0) {
      memcpy(image->memory.data() + s.virtualAddress, file + s.rawPointer, s.mappedSize);
    }
  }
  return true;
}

bool ReadAtRva(const PeImage& layout, const uint8_t* file, size_t size, uint32_t rva,
               uint32_t length, uint8_t* out) {
  const uint64_t end = uint64_t{rva} + length;
  if (end <= layout.sizeOfHeaders) {
    if (end > size) {
      return false;
    }
    memcpy(out, file + rva, length);
    return true;
  }
  for (const Section& s : layout.sections) {
    if (rva < s.virtualAddress || end > uint64_t{s.virtualAddress} + s.virtualSize) {
      continue;
    }
    // Past the section's file bytes the loader fills zeros.
    const uint32_t from = rva - s.virtualAddress;
    const uint32_t mapped = from < s.mappedSize ? s.mappedSize - from : 0;
    const uint32_t copied = mapped < length ? mapped : length;
    if (copied != 0) {
      memcpy(out, file + s.rawPointer + from, copied);
    }
    memset(out + copied, 0, length - copied);
    return true;
  }
  return false;
}

std::string PlaceOf(const PeImage& image, uint32_t offset) {
  if (offset < image.sizeOfHeaders) {
    return "headers";
  }
  for (const Section& s : image.sections) {
    if (offset >= s.virtualAddress && offset - s.virtualAddress < s.virtualSize) {
      return s.name;
    }
  }
  return "no section";
}

}  // namespace check
