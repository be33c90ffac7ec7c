// Fuzz target: the compatibility checker's PE32 reader (MapPeImage), its
// analysis of the mapped image (Analyse, with the plug-in's own site
// recognition) and its report (FormatReport).
//
// The first input byte picks the form of the rest: odd, the rest is a file
// as it is; even, the rest is a list of changes (a 16-bit offset and a byte
// each, and a final length to cut the file to) applied to a small valid
// VHud-like image whose wheel sites hold VHud's bytes, so that the fuzzer
// starts from files that get past the headers.
//
// Beyond crashes and undefined behaviour it checks what a caller relies on:
// a refusal always has a reason; an accepted file's memory is SizeOfImage
// bytes (at most the limit), starts with the file's headers, and holds the
// sections in order, inside the image, each with its file bytes; and bytes
// read by RVA from the file (ReadAtRva) are the mapped image's.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "check/check.h"
#include "check/pe_image.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "fuzz_pe_image: %s\n", what);
  abort();
}

void Put16(std::vector<uint8_t>& f, uint32_t at, uint16_t v) {
  f[at] = static_cast<uint8_t>(v);
  f[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& f, uint32_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Headers (0x400 bytes) and one section mapped at RVA 0x6B000 from file
// offset 0x400, 0x2000 bytes, holding the wheel sites; SizeOfImage 0x70000.
std::vector<uint8_t> Template() {
  constexpr uint32_t kNt = 0x80;
  constexpr uint32_t kOptional = kNt + 24;
  constexpr uint32_t kSections = kOptional + 0xE0;
  constexpr uint32_t kSectionRva = 0x6B000;
  constexpr uint32_t kRaw = 0x400;
  std::vector<uint8_t> f(kRaw + 0x2000, 0);
  Put16(f, 0, 0x5A4D);
  Put32(f, 0x3C, kNt);
  Put32(f, kNt, 0x4550);
  Put16(f, kNt + 4, 0x14C);
  Put16(f, kNt + 6, 1);
  Put16(f, kNt + 20, 0xE0);
  Put16(f, kNt + 22, 0x2102);
  Put16(f, kOptional, 0x10B);
  Put32(f, kOptional + 28, 0x10000000);  // ImageBase
  Put32(f, kOptional + 32, 0x1000);      // SectionAlignment
  Put32(f, kOptional + 36, 0x200);       // FileAlignment
  Put32(f, kOptional + 56, 0x70000);     // SizeOfImage
  Put32(f, kOptional + 60, kRaw);        // SizeOfHeaders
  Put32(f, kOptional + 92, 16);          // NumberOfRvaAndSizes
  memcpy(&f[kSections], ".text\0\0\0", 8);
  Put32(f, kSections + 8, 0x2000);
  Put32(f, kSections + 12, kSectionRva);
  Put32(f, kSections + 16, 0x2000);
  Put32(f, kSections + 20, kRaw);
  Put32(f, kSections + 36, 0x60000020);
  auto at = [&](uint32_t rva) { return kRaw + rva - kSectionRva; };
  const uint8_t spacing[9] = {0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF};
  memcpy(&f[at(0x6BBD9)], spacing, 9);
  f[at(0x6CDA8)] = 0xE8;
  Put32(f, at(0x6CDA9), 0x50290u - 0x6CDADu);
  const uint32_t centre[6] = {0x6C49F, 0x6C4CE, 0x6C55F, 0x6C590, 0x6C65F, 0x6C8A1};
  const uint8_t operation[6] = {0x5C, 0x58, 0x5C, 0x58, 0x5C, 0x58};
  for (int i = 0; i < 6; ++i) {
    const uint8_t head[4] = {0xF3, 0x0F, operation[i], 0x05};
    memcpy(&f[at(centre[i])], head, 4);
    Put32(f, at(centre[i]) + 4, 0x1006CF00u + 4 * i);
  }
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::vector<uint8_t> file;
  if ((data[0] & 1) != 0) {
    file.assign(data + 1, data + size);
  } else {
    file = Template();
    size_t at = 1;
    for (; at + 3 <= size; at += 3) {
      uint32_t offset = (data[at] | (data[at + 1] << 8)) % file.size();
      file[offset] = data[at + 2];
    }
    if (at + 2 <= size) {  // two bytes left: cut the file to that length
      file.resize((data[at] | (data[at + 1] << 8)) % (file.size() + 1));
    }
  }
  // An exact heap allocation, so that any read past the file is seen.
  uint8_t* exact = static_cast<uint8_t*>(malloc(file.size() ? file.size() : 1));
  if (!file.empty()) memcpy(exact, file.data(), file.size());

  check::PeImage image;
  std::string error;
  if (!check::MapPeImage(exact, file.size(), &image, &error)) {
    if (error.empty()) Fail("a refused file without a reason");
    free(exact);
    return 0;
  }
  if (image.memory.size() != image.sizeOfImage || image.sizeOfImage > check::kMaxSizeOfImage) {
    Fail("mapped memory is not SizeOfImage bytes within the limit");
  }
  if (image.sizeOfHeaders > image.sizeOfImage || image.sizeOfHeaders > file.size() ||
      memcmp(image.memory.data(), exact, image.sizeOfHeaders) != 0) {
    Fail("the headers are not mapped as they are in the file");
  }
  if (image.sections.size() > check::kMaxSections) Fail("too many sections accepted");
  uint64_t previousEnd = image.sizeOfHeaders;
  for (const check::Section& s : image.sections) {
    uint64_t end = uint64_t{s.virtualAddress} + s.virtualSize;
    if (s.virtualAddress < previousEnd || end > image.sizeOfImage) {
      Fail("a section overlaps another or lies outside the image");
    }
    previousEnd = end;
    if (s.mappedSize > s.virtualSize ||
        (s.mappedSize != 0 && uint64_t{s.rawPointer} + s.mappedSize > file.size())) {
      Fail("a section maps more than it has");
    }
    if (s.mappedSize != 0 &&
        memcmp(image.memory.data() + s.virtualAddress, exact + s.rawPointer, s.mappedSize) != 0) {
      Fail("a section's bytes are not its file bytes");
    }
  }
  // Reading by RVA from the file gives the bytes the mapped image holds.
  for (const check::Section& s : image.sections) {
    for (uint32_t rva : {s.virtualAddress, s.virtualAddress + s.virtualSize - 16}) {
      uint8_t got[16];
      if (check::ReadAtRva(image, exact, file.size(), rva, 16, got) &&
          (uint64_t{rva} + 16 > image.sizeOfImage ||
           memcmp(got, image.memory.data() + rva, 16) != 0)) {
        Fail("bytes read by RVA are not the mapped image's");
      }
    }
  }
  check::Analysis analysis =
      check::Analyse(image.memory.data(), image.sizeOfImage, image.imageBase);
  std::vector<std::string> report = check::FormatReport("fuzz.asi", file.size(), image, analysis);
  if (report.empty()) Fail("an empty report");
  (void)analysis.FirstPassLog();
  for (uint32_t offset = 0; offset < image.sizeOfImage; offset += 0x10000) {
    (void)check::PlaceOf(image, offset);
  }
  free(exact);
  return 0;
}
