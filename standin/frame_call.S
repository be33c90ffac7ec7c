// StandinCallChecked: calls a routine of no arguments the way compiled game
// code would, but with a stack that is only 4-byte aligned at the callee's
// entry (ESP = 8 mod 16) and known values in the callee-saved registers.
// Returns a bit set: bit 0 ESP changed across the call, bits 1 to 4 EBX, ESI,
// EDI, EBP changed. cdecl: uint32_t StandinCallChecked(uintptr_t target).

#define CONCAT1(a, b) a##b
#define CONCAT(a, b) CONCAT1(a, b)
#define SYM(name) CONCAT(__USER_LABEL_PREFIX__, name)

        .data
        .p2align 2
standin_saved_esp:
        .long   0
standin_call_esp:
        .long   0
standin_after:
        .long   0, 0, 0, 0, 0               // ESP EBX ESI EDI EBP after the call

        .text
        .globl  SYM(StandinCallChecked)
        .p2align 4
SYM(StandinCallChecked):
        pushl   %ebp
        pushl   %ebx
        pushl   %esi
        pushl   %edi
        movl    20(%esp), %eax              // target
        movl    %esp, standin_saved_esp
        andl    $-16, %esp
        subl    $4, %esp                    // after the CALL pushes: 8 mod 16
        movl    %esp, standin_call_esp
        movl    $0x5EB0A001, %ebx
        movl    $0x5E51A002, %esi
        movl    $0x5ED1A003, %edi
        movl    $0x5EBBA004, %ebp
        call    *%eax
        movl    %esp, standin_after
        movl    %ebx, standin_after + 4
        movl    %esi, standin_after + 8
        movl    %edi, standin_after + 12
        movl    %ebp, standin_after + 16
        movl    standin_saved_esp, %esp
        xorl    %eax, %eax
        movl    standin_after, %ecx
        cmpl    standin_call_esp, %ecx
        je      1f
        orl     $1, %eax
1:      cmpl    $0x5EB0A001, standin_after + 4
        je      2f
        orl     $2, %eax
2:      cmpl    $0x5E51A002, standin_after + 8
        je      3f
        orl     $4, %eax
3:      cmpl    $0x5ED1A003, standin_after + 12
        je      4f
        orl     $8, %eax
4:      cmpl    $0x5EBBA004, standin_after + 16
        je      5f
        orl     $16, %eax
5:      popl    %edi
        popl    %esi
        popl    %ebx
        popl    %ebp
        ret

#ifdef __ELF__
        .section .note.GNU-stack, "", @progbits
#endif
