// SHA-256 from the system: Windows' BCrypt in the Windows build, OpenSSL's
// libcrypto in the Linux build.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace check {

// The 64 lower-case hexadecimal digits of the SHA-256 of data[0, size);
// empty when the system's hash could not be computed.
std::string Sha256Hex(const uint8_t* data, size_t size);

}  // namespace check
