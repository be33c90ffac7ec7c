// The version resource of a PE image, found through its resource directory
// (type 16, the first name, the first language) and read field by field. The
// directory and the resource are untrusted: every offset and length is
// checked before use, and bytes are read only through the caller's reader.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>

namespace check {

// Reads `length` bytes at image offset `rva` into `out`; false when they do
// not lie in the image.
using ReadRva = std::function<bool(uint32_t rva, uint32_t length, uint8_t* out)>;

constexpr uint32_t kVftApp = 1;  // VS_FIXEDFILEINFO.dwFileType of a program
constexpr uint32_t kVftDll = 2;  // ... of a DLL

// A version resource larger than this is not read.
constexpr uint32_t kMaxVersionResource = 64u << 10;

struct VersionResource {
  uint32_t fileType = 0;       // dwFileType
  uint32_t fileVersionMs = 0;  // dwFileVersionMS: major << 16 | minor
  uint32_t fileVersionLs = 0;  // dwFileVersionLS: patch << 16 | build
  std::string productName;     // "ProductName" of the first string table, UTF-16 as UTF-8
  bool hasProductName = false;
};

// The resource directory at [directoryRva, directoryRva + directorySize).
// False when it holds no well-formed version resource.
bool ReadVersionResource(const ReadRva& read, uint32_t directoryRva, uint32_t directorySize,
                         VersionResource* out);

// The same from the resource's bytes alone (a VS_VERSIONINFO block).
bool ParseVersionInfo(const uint8_t* data, uint32_t size, VersionResource* out);

}  // namespace check
