// Fuzz target: the resource-directory reader of the copy recogniser
// (platform/copy_mark.h: FindVersionInfo, then ReadLegacyVersionInfo on what
// it finds), with which the checker, and the plug-in, tell a 1.0.0 copy by
// its version resource.
//
// The first input byte picks the form of the rest: odd, the rest is the
// resource section as it is; even, the rest is a list of changes (a byte
// offset and a byte each) applied to a well-formed section holding a DLL's
// version resource, so that the fuzzer starts past the three directories.
// The section lies at RVA 0x1000 and is read only through a reader that
// refuses whatever lies outside it, from an exact heap allocation.
//
// Beyond crashes and undefined behaviour it checks that the untouched
// section is read as built (a 1.0.0 copy), and that no read asks for more of
// the version resource than the recogniser's bound.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "platform/copy_mark.h"

namespace {

constexpr uint32_t kBase = 0x1000;

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "fuzz_pe_resources: %s\n", what);
  abort();
}

void Put(std::vector<uint8_t>& f, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) f.push_back(i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0);
}

// A VS_VERSIONINFO block: header, key, padding, value, padding, children.
std::vector<uint8_t> Block(const char* key, uint16_t type, const std::vector<uint8_t>& value,
                           uint16_t valueLength, const std::vector<uint8_t>& children) {
  std::vector<uint8_t> b(6, 0);
  for (const char* c = key;; ++c) {
    Put(b, static_cast<uint8_t>(*c), 2);
    if (*c == 0) break;
  }
  while (b.size() % 4) b.push_back(0);
  b.insert(b.end(), value.begin(), value.end());
  while (b.size() % 4) b.push_back(0);
  b.insert(b.end(), children.begin(), children.end());
  b[0] = static_cast<uint8_t>(b.size());
  b[1] = static_cast<uint8_t>(b.size() >> 8);
  b[2] = static_cast<uint8_t>(valueLength);
  b[4] = static_cast<uint8_t>(type);
  return b;
}

std::vector<uint8_t> Section() {
  std::vector<uint8_t> text;
  for (const char* c = "Quorvel Icons"; *c; ++c) Put(text, static_cast<uint8_t>(*c), 2);
  Put(text, 0, 2);
  std::vector<uint8_t> fixed;
  for (uint32_t v : {0xFEEF04BDu, 0x10000u, 0x10000u, 0u, 0x10000u, 0u, 0x3Fu, 0u, 0x40004u,
                     2u /* VFT_DLL */, 0u, 0u, 0u}) {
    Put(fixed, v, 4);
  }
  const std::vector<uint8_t> table =
      Block("040904B0", 1, {}, 0,
            Block("ProductName", 1, text, static_cast<uint16_t>(text.size() / 2), {}));
  const std::vector<uint8_t> info =
      Block("VS_VERSION_INFO", 0, fixed, 52, Block("StringFileInfo", 1, {}, 0, table));
  std::vector<uint8_t> f;
  // Type 16, name 1, language 0x409: three directories of one ID entry each.
  const uint32_t next[3] = {0x80000018u, 0x80000030u, 0x48u};
  const uint32_t ids[3] = {16, 1, 0x409};
  for (int i = 0; i < 3; ++i) {
    Put(f, 0, 12);
    Put(f, 0, 2);
    Put(f, 1, 2);
    Put(f, ids[i], 4);
    Put(f, next[i], 4);
  }
  Put(f, kBase + 0x58, 4);
  Put(f, static_cast<uint32_t>(info.size()), 4);
  Put(f, 0, 8);
  f.resize(0x58, 0);
  f.insert(f.end(), info.begin(), info.end());
  return f;
}

// The recogniser's reading of the section: the version resource's place
// and size, then whether it is a 1.0.0 copy's.
bool Read(const uint8_t* section, size_t size, CopyVersion* version) {
  auto read = [&](uint32_t rva, uint32_t length, uint8_t* to) {
    if (length > copymark::kVersionBytes) Fail("a read past the recogniser's bound");
    if (rva < kBase || rva - kBase > size || size - (rva - kBase) < length) return false;
    if (length != 0) memcpy(to, section + (rva - kBase), length);
    return true;
  };
  uint32_t infoRva = 0, infoSize = 0;
  if (!copymark::FindVersionInfo(read, kBase, static_cast<uint32_t>(size), &infoRva, &infoSize)) {
    return false;
  }
  // The resource's bytes in an exact heap allocation too.
  const uint32_t length = infoSize < copymark::kVersionBytes ? infoSize : copymark::kVersionBytes;
  uint8_t* info = static_cast<uint8_t*>(malloc(length ? length : 1));
  const bool legacy =
      read(infoRva, length, info) && copymark::ReadLegacyVersionInfo(info, length, version);
  free(info);
  return legacy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<uint8_t> kSection = Section();
  static const bool kTemplateRead = [] {
    CopyVersion v = {};
    return Read(kSection.data(), kSection.size(), &v) && v.major == 1 && v.minor == 0 &&
           v.patch == 0;
  }();
  if (!kTemplateRead) Fail("the well-formed section is not read as built");
  if (size == 0) return 0;
  std::vector<uint8_t> section;
  if ((data[0] & 1) != 0) {
    section.assign(data + 1, data + size);
  } else {
    section = kSection;
    for (size_t at = 1; at + 2 <= size; at += 2) section[data[at] % section.size()] = data[at + 1];
  }
  uint8_t* exact = static_cast<uint8_t*>(malloc(section.size() ? section.size() : 1));
  if (!section.empty()) memcpy(exact, section.data(), section.size());
  CopyVersion version = {};
  (void)Read(exact, section.size(), &version);
  free(exact);
  return 0;
}
