// GuardedCompareExchange (cdecl): see code_store.h. Between linking its
// registration record in and unlinking it, the routine runs nothing but the
// one locked store, so an exception there can only be that store's fault.
//
// Stack while the record is linked (ESP points at it; pushed, so 4-byte
// aligned, and on this thread's stack as the dispatcher requires):
//   ESP+0  the record it leads to (the chain's former head)
//   ESP+4  StoreFaultHandler
//   ESP+8  EDI, EBX, EBP of the caller, the return address, the arguments

#define CONCAT1(a, b) a##b
#define CONCAT(a, b) CONCAT1(a, b)
#define SYM(name) CONCAT(__USER_LABEL_PREFIX__, name)

        .text
        .globl  SYM(GuardedCompareExchange)
        .globl  SYM(GuardedStore4)
        .globl  SYM(GuardedStore8)
        .globl  SYM(GuardedStoreRecovery)
        .p2align 4
SYM(GuardedCompareExchange):
        pushl   %ebp
        movl    %esp, %ebp
        pushl   %ebx
        pushl   %edi
        movl    8(%ebp), %ecx           // the thread's exception list
        movl    12(%ebp), %edi          // where the bytes go
        pushl   $SYM(StoreFaultHandler)
        pushl   (%ecx)
        movl    %esp, (%ecx)            // the record is linked in first
        movl    20(%ebp), %eax          // expected
        movl    24(%ebp), %edx
        movl    28(%ebp), %ebx          // value
        movl    32(%ebp), %ecx
        cmpl    $8, 16(%ebp)
        je      1f
SYM(GuardedStore4):
        lock cmpxchgl %ebx, (%edi)
        jmp     2f
1:
SYM(GuardedStore8):
        lock cmpxchg8b (%edi)
2:
        setnz   %al
        movzbl  %al, %eax               // 0 written, 1 other bytes found
3:
        movl    8(%ebp), %ecx
        popl    %edx
        movl    %edx, (%ecx)            // the record is unlinked
        popl    %edx
        popl    %edi
        popl    %ebx
        popl    %ebp
        ret

// StoreFaultHandler resumes here after a faulting store, with ESP at the
// record and every other register as the fault left it.
SYM(GuardedStoreRecovery):
        movl    $2, %eax                // faulted: nothing written
        jmp     3b

#if !defined(_WIN32)
        .section .note.GNU-stack,"",@progbits
#endif
