// Whether a file is a copy of the Quorvel Icons plug-in, told by what is
// inside it, never by its name: the plug-in's own recogniser
// (platform/copy_mark.h: the copy mark, or for 1.0.0 the version resource)
// run over the file's bytes as the loader would map them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "check/pe_image.h"
#include "platform/copy_mark.h"

namespace check {

// The identity of a file whose layout ReadPeLayout accepted.
CopyIdentity IdentifyCopyFile(const PeImage& layout, const uint8_t* file, size_t size);

// A version as one number that orders versions: major, minor, patch (each
// capped at 65535).
uint64_t VersionOrder(const CopyVersion& version);

// "1.2.3".
std::string VersionText(const CopyVersion& version);

}  // namespace check
