// SpacingCave: entered by the jump that replaces VHud's LEA ECX, [EBP-3F5Ch]
// in its slot layout, with VHud's registers, flags and stack as they are
// there (EDI already loaded by VHud's own MOV EDI, [EDX+44h] before the
// jump). It moves the slot's two x positions, performs the replaced LEA and
// jumps back behind it. Every register, the flags, the x87 stack, MXCSR and
// the XMM registers are left as found, except ECX, which the LEA sets.

#include "state/state_offsets.h"

#define CONCAT1(a, b) a##b
#define CONCAT(a, b) CONCAT1(a, b)
#define SYM(name) CONCAT(__USER_LABEL_PREFIX__, name)

        .text
        .globl  SYM(SpacingCave)
        .p2align 4
SYM(SpacingCave):
        pushfl
        cld
        pushal                          // EDI ESI EBP ESP EBX EDX ECX EAX
        movl    %esp, %esi              // saved registers, callee-saved below
        subl    $544, %esp
        andl    $-16, %esp              // 16-aligned: fxsave area and calls
        fxsave  32(%esp)
        fninit
        movzwl  32(%esp), %eax          // the caller's x87 control word,
        orl     $0x3F, %eax             // with every exception masked
        movl    %eax, 16(%esp)
        fldcw   16(%esp)
        movl    $0x1F80, 28(%esp)       // SSE: default rounding, all exceptions
        ldmxcsr 28(%esp)                // masked (VHud's MXCSR comes back below)
        movl    16(%esi), %ebx          // slot index (EBX on entry)
        cmpl    $7, %ebx
        ja      1f
        movl    8(%esi), %ebp           // VHud's frame base (EBP on entry)
        movl    %ebx, (%esp)
        call    SYM(SlotXOffset)
        fstps   20(%esp)
        movl    %ebx, (%esp)
        call    SYM(AmmoXOffset)
        fstps   24(%esp)
        flds    20(%esp)                // background and weapon image
        fadds   -0x3F14(%ebp)
        fstps   -0x3F14(%ebp)
        flds    20(%esp)                // ammo text: offset + fine-tune, unrounded
        fadds   24(%esp)
        fadds   -0x3F28(%ebp)
        fstps   -0x3F28(%ebp)
1:
        fxrstor 32(%esp)
        movl    %esi, %esp
        popal
        popfl
        leal    -0x3F5C(%ebp), %ecx     // the replaced instruction
        jmp     *(SYM(gState) + QI_STATE_SPACING_RETURN)

#if !defined(_WIN32)
        .section .note.GNU-stack,"",@progbits
#endif
