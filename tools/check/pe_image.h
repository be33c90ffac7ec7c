// A PE32 file read defensively and laid out as the loader maps it: headers
// and sections at their virtual addresses, zero everywhere else.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace check {

// Largest SizeOfImage accepted; a real VHud needs about 17 MiB.
constexpr uint32_t kMaxSizeOfImage = 64u << 20;
// Largest section count accepted.
constexpr uint32_t kMaxSections = 96;

struct Section {
  std::string name;  // printable characters of the 8-byte name
  uint32_t virtualAddress;
  uint32_t virtualSize;  // extent in memory (SizeOfRawData when VirtualSize is 0)
  uint32_t rawPointer;
  uint32_t rawSize;
  uint32_t mappedSize;  // bytes copied from the file into memory
};

struct PeImage {
  uint32_t imageBase = 0;
  uint32_t sizeOfImage = 0;
  uint32_t sizeOfHeaders = 0;
  std::vector<Section> sections;
  std::vector<uint8_t> memory;  // sizeOfImage bytes (MapPeImage only)
};

// "0x" and eight upper-case hexadecimal digits, as the plug-in writes values.
std::string Hex(uint32_t value);

// Checks every header field, offset and size against the file and lays the
// image out. False with a one-line reason when the file is not a usable
// 32-bit x86 PE32 image.
bool MapPeImage(const uint8_t* file, size_t size, PeImage* image, std::string* error);

// The same checks and layout without laying the image out in memory, for
// files read only in part.
bool ReadPeLayout(const uint8_t* file, size_t size, PeImage* image, std::string* error);

// The `length` bytes at image offset `rva` of a file checked by ReadPeLayout,
// as the loader maps them (zeros past a section's file bytes). False when
// they do not lie within the headers or within one section.
bool ReadAtRva(const PeImage& layout, const uint8_t* file, size_t size, uint32_t rva,
               uint32_t length, uint8_t* out);

// Name of what holds image offset `offset`: a section's name, "headers", or
// "no section".
std::string PlaceOf(const PeImage& image, uint32_t offset);

}  // namespace check
