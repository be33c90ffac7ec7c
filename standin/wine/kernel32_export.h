// Points an entry of kernel32's export table at a wrapper in this
// executable, so that a module which resolves the function through that
// table at its attach (the plug-in) reaches the wrapper, while the game's
// own calls, bound by its import table at load, do not.
#pragma once

#include <stdint.h>
#include <windows.h>

namespace standin {

// Returns the real function (through a forwarder, if kernel32 has one) as
// it was before the entry changed, or null when the table could not be
// changed or would not lead to the wrapper the way the plug-in reads it.
FARPROC PointKernel32Export(const char* name, uintptr_t wrapper);

}  // namespace standin
