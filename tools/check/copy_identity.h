// Whether a file is a copy of the Quorvel Icons plug-in, told by what is
// inside it, never by its name: the copy mark (a section ".qimark" holding
// the mark's text, its magic, its layout and the version), or, for a 1.0.0
// copy that has none, a DLL version resource whose product name is
// "Quorvel Icons".
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "check/pe_image.h"

namespace check {

enum class CopyKind { NotACopy, Marked, Legacy };

struct CopyIdentity {
  CopyKind kind = CopyKind::NotACopy;
  uint32_t version = 0;  // major << 16 | minor << 8 | patch
};

// The identity of a file whose layout ReadPeLayout accepted.
CopyIdentity IdentifyCopyFile(const PeImage& layout, const uint8_t* file, size_t size);

// "1.2.3".
std::string VersionText(uint32_t version);

}  // namespace check
