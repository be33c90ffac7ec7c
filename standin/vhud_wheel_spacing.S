// The driver of VHud's slot layout and the capture code behind it.
//
// StandinSpacingDrive(const SpacingInput* in, uintptr_t entry), cdecl: sets
// up the processor state VHud's layout code runs with (an EBP frame holding
// the two x positions, the stack pointer at the asked-for alignment, the
// XMM registers, MXCSR, the x87 control word and stack, DF and the general
// registers) and jumps to `entry`. VHud's code ends in a jump to
// StandinSpacingCapture, which records every register, EFLAGS, the FXSAVE
// image and the two positions in StandinSpacingCaptureArea, then returns
// from StandinSpacingDrive with the caller's stack, callee-saved registers,
// x87 control word and MXCSR back in place. One thread at a time.

#include "vhud_wheel.h"

#define CONCAT1(a, b) a##b
#define CONCAT(a, b) CONCAT1(a, b)
#define SYM(name) CONCAT(__USER_LABEL_PREFIX__, name)

#define CAP SYM(StandinSpacingCaptureArea)

        .data
        .p2align 4
        .globl  SYM(StandinSpacingCaptureArea)
SYM(StandinSpacingCaptureArea):
        .fill   STANDIN_SC_SIZE, 1, 0
drive_saved_esp:
        .long   0
drive_entry:
        .long   0
drive_saved_fcw:
        .long   0
drive_saved_mxcsr:
        .long   0

        .text
        .globl  SYM(StandinSpacingDrive)
        .p2align 4
SYM(StandinSpacingDrive):
        pushl   %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    20(%esp), %esi                  // in
        movl    24(%esp), %eax                  // entry
        movl    %eax, drive_entry
        fnstcw  drive_saved_fcw
        stmxcsr drive_saved_mxcsr
        movl    %esp, drive_saved_esp

        // VHud's frame: its locals lie below EBP. Its pages are touched from
        // the top down, as a Windows stack grows page by page.
        movl    %esp, %ebp
        orl     $0, -0x1000(%ebp)
        orl     $0, -0x2000(%ebp)
        orl     $0, -0x3000(%ebp)
        orl     $0, -0x4000(%ebp)
        orl     $0, -0x4020(%ebp)
        subl    $0x4000, %esp
        andl    $-16, %esp
        subl    $16, %esp
        addl    STANDIN_SI_ESP_MOD16(%esi), %esp
        movl    STANDIN_SI_CONTENT_X(%esi), %eax
        movl    %eax, -STANDIN_CONTENT_X_FRAME(%ebp)
        movl    STANDIN_SI_AMMO_X(%esi), %eax
        movl    %eax, -STANDIN_AMMO_X_FRAME(%ebp)
        movl    %esp, CAP + STANDIN_SC_SITE_ESP
        movl    %ebp, CAP + STANDIN_SC_SITE_EBP

        movups  STANDIN_SI_XMM + 0(%esi), %xmm0
        movups  STANDIN_SI_XMM + 16(%esi), %xmm1
        movups  STANDIN_SI_XMM + 32(%esi), %xmm2
        movups  STANDIN_SI_XMM + 48(%esi), %xmm3
        movups  STANDIN_SI_XMM + 64(%esi), %xmm4
        movups  STANDIN_SI_XMM + 80(%esi), %xmm5
        movups  STANDIN_SI_XMM + 96(%esi), %xmm6
        movups  STANDIN_SI_XMM + 112(%esi), %xmm7

        // x87: the last value first, so that value 0 ends up in ST(0).
        fninit
        fldcw   STANDIN_SI_FPU_CONTROL(%esi)
        movl    STANDIN_SI_X87_COUNT(%esi), %ecx
1:      testl   %ecx, %ecx
        jz      2f
        decl    %ecx
        movl    %ecx, %eax
        shll    $4, %eax
        fldt    STANDIN_SI_X87(%esi,%eax)
        jmp     1b
2:      ldmxcsr STANDIN_SI_MXCSR(%esi)

        cmpl    $0, STANDIN_SI_DIRECTION(%esi)
        je      3f
        std
3:      movl    STANDIN_SI_EAX(%esi), %eax
        movl    STANDIN_SI_EBX(%esi), %ebx
        movl    STANDIN_SI_ECX(%esi), %ecx
        movl    STANDIN_SI_EDX(%esi), %edx
        movl    STANDIN_SI_EDI(%esi), %edi
        movl    STANDIN_SI_ESI(%esi), %esi
        jmp     *drive_entry

        .globl  SYM(StandinSpacingCapture)
        .p2align 4
SYM(StandinSpacingCapture):
        movl    %eax, CAP + STANDIN_SC_EAX
        movl    %ebx, CAP + STANDIN_SC_EBX
        movl    %ecx, CAP + STANDIN_SC_ECX
        movl    %edx, CAP + STANDIN_SC_EDX
        movl    %esi, CAP + STANDIN_SC_ESI
        movl    %edi, CAP + STANDIN_SC_EDI
        movl    %ebp, CAP + STANDIN_SC_EBP
        movl    %esp, CAP + STANDIN_SC_ESP
        pushfl
        popl    CAP + STANDIN_SC_EFLAGS
        cld
        fxsave  CAP + STANDIN_SC_FX
        movl    -STANDIN_CONTENT_X_FRAME(%ebp), %eax
        movl    %eax, CAP + STANDIN_SC_CONTENT_X
        movl    -STANDIN_AMMO_X_FRAME(%ebp), %eax
        movl    %eax, CAP + STANDIN_SC_AMMO_X

        movl    drive_saved_esp, %esp
        fninit
        fldcw   drive_saved_fcw
        ldmxcsr drive_saved_mxcsr
        popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret

#if !defined(_WIN32)
        .section .note.GNU-stack,"",@progbits
#endif
