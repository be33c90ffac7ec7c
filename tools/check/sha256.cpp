#include "check/sha256.h"

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
// windows.h first
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace check {
namespace {

std::string HexOf(const uint8_t* digest, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    char pair[3];
    snprintf(pair, sizeof(pair), "%02x", digest[i]);
    text += pair;
  }
  return text;
}

}  // namespace

#ifdef _WIN32
std::string Sha256Hex(const uint8_t* data, size_t size) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) {
    return std::string();
  }
  uint8_t digest[32];
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) >= 0;
  // BCryptHashData takes at most 4 GiB at once; a plug-in file is far smaller.
  ok = ok && BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0) >= 0 &&
       BCryptFinishHash(hash, digest, sizeof(digest), 0) >= 0;
  if (hash != nullptr) {
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok ? HexOf(digest, sizeof(digest)) : std::string();
}
#else
std::string Sha256Hex(const uint8_t* data, size_t size) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest, &length, EVP_sha256(), nullptr) != 1 || length != 32) {
    return std::string();
  }
  return HexOf(digest, length);
}
#endif

}  // namespace check
