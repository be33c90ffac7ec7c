// The stand-in game's memory: zero-filled, writable and executable, placed
// first in the image (right after the headers at 0x400000), so that it covers
// the game's fixed addresses 0x56E000..0xC18000.
#define CONCAT1(a, b) a##b
#define CONCAT(a, b) CONCAT1(a, b)
#define SYM(name) CONCAT(__USER_LABEL_PREFIX__, name)

        .section .gamemem, "bwx"
        .globl  SYM(gGameMemBegin)
        .globl  SYM(gGameMemEnd)
        .p2align 12
SYM(gGameMemBegin):
        .space  0xC18000 - 0x401000
SYM(gGameMemEnd):
