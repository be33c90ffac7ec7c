// The size of a file the checker was given, before reading it.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

namespace check {

// The size of an open regular file; false for anything else (a pipe, a
// device), whose length is known only once it has been read.
inline bool RegularFileSize(FILE* file, uint64_t* size) {
#ifdef _WIN32
  struct _stati64 info;
  if (_fstati64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
    return false;
  }
#else
  struct stat info;
  if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
#endif
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

}  // namespace check
