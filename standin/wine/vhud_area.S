// The stand-in VHud's image area: zero-filled, writable and executable,
// placed first in the image (offset 0x1000, right after the headers) and
// reaching offset 0x104A000, so that every VHud offset lies inside it.
#define CONCAT1(a, b) a##b
#define CONCAT(a, b) CONCAT1(a, b)
#define SYM(name) CONCAT(__USER_LABEL_PREFIX__, name)

        .section .vimage, "bwx"
        .globl  SYM(gVhudAreaBegin)
        .globl  SYM(gVhudAreaEnd)
        .p2align 12
SYM(gVhudAreaBegin):
        .space  0x104A000 - 0x1000
SYM(gVhudAreaEnd):
