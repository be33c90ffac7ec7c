// The stand-in VHud's image area, placed first in the image (offset 0x1000,
// right after the headers) and reaching offset 0x104A000, so that every VHud
// offset lies inside it. It is file data, like a real VHud's code: the file
// holds VHud's original bytes at the weapon-wheel sites and VHud's own
// centre-text constants, so that a reader of the file on disk finds what a
// reader of the loaded image finds. Everything else is zero until the DLL's
// attach builds the rest of VHud's code here (it writes the same bytes at
// the sites again).
#define CONCAT1(a, b) a##b
#define CONCAT(a, b) CONCAT1(a, b)
#define SYM(name) CONCAT(__USER_LABEL_PREFIX__, name)
// Places the location counter at a VHud image offset.
#define AT(offset) .org (offset) - 0x1000, 0
// The absolute address of VHud's own constant number `index`.
#define CONSTANT(index) SYM(gVhudAreaBegin) + 0x6CF00 - 0x1000 + 4 * (index)

        .section .vimage, "dwx"
        .globl  SYM(gVhudAreaBegin)
        .globl  SYM(gVhudAreaEnd)
        .p2align 12
SYM(gVhudAreaBegin):
        AT(0x6BBD9)                     // slot spacing: mov edi,[edx+44h]; lea ecx,[ebp-3F5Ch]
        .byte   0x8B, 0x7A, 0x44, 0x8D, 0x8D, 0xA4, 0xC0, 0xFF, 0xFF
        AT(0x6C49F)                     // name-y: subss xmm0, [constant]
        .byte   0xF3, 0x0F, 0x5C, 0x05
        .long   CONSTANT(0)
        AT(0x6C4CE)                     // name-x: addss
        .byte   0xF3, 0x0F, 0x58, 0x05
        .long   CONSTANT(1)
        AT(0x6C55F)                     // count-y: subss
        .byte   0xF3, 0x0F, 0x5C, 0x05
        .long   CONSTANT(2)
        AT(0x6C590)                     // count-x: addss
        .byte   0xF3, 0x0F, 0x58, 0x05
        .long   CONSTANT(3)
        AT(0x6C65F)                     // arrow-y: subss
        .byte   0xF3, 0x0F, 0x5C, 0x05
        .long   CONSTANT(4)
        AT(0x6C8A1)                     // extra-x: addss
        .byte   0xF3, 0x0F, 0x58, 0x05
        .long   CONSTANT(5)
        AT(0x6CDA8)                     // call RotateVertices (+0x50290)
        .byte   0xE8
        .long   0x50290 - 0x6CDAD
        AT(0x6CF00)                     // the centre-text constants
        .float  30.0, 12.0, 18.0, 14.0, 9.0, 16.0
        AT(0x104A000)
SYM(gVhudAreaEnd):
