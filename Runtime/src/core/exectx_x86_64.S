/* Context capture and resume for x86-64 (System V).
 *
 * ExecContext, twelve 8-byte words:
 *    0 stack_base      highest address of the thread's stack
 *    8 relocation      distance from the captured stack to the copy
 *   16 carry_limit     end (exclusive) of the slice a resume copies
 *   24 resume_value    what the capture returns on resume; -1: direct context
 *   32 rbx   40 r12   48 r13   56 r14   64 r15   72 rbp   (the six register slots)
 *   80 stack_pointer   caller's rsp just after the capture returns
 *   88 resume_address  return address of the capture
 *
 * Deliberately no GNU property note: a shadow stack cannot follow a resume on
 * a copied frame, so this object must keep the library out of CET mode.
 */
        .text

/* intptr_t qiv_exported_set_exectx(qiv_exec_context *rdi, void *limit rsi) */
        .globl  qiv_exported_set_exectx
        .type   qiv_exported_set_exectx, @function
        .hidden platform_stack_base
qiv_exported_set_exectx:
        movq    $0, 8(%rdi)             /* relocation = 0 */
        movq    $1, 24(%rdi)            /* resume_value = 1 */
        movq    %rbx, 32(%rdi)          /* callee-saved registers */
        movq    %r12, 40(%rdi)
        movq    %r13, 48(%rdi)
        movq    %r14, 56(%rdi)
        movq    %r15, 64(%rdi)
        movq    %rbp, 72(%rdi)
        leaq    8(%rsp), %rax           /* rsp once we have returned */
        movq    %rax, 80(%rdi)
        movq    (%rsp), %rax            /* our return address */
        movq    %rax, 88(%rdi)
        pushq   %rdi                    /* keep both arguments across the call */
        pushq   %rsi
        subq    $8, %rsp                /* 16-byte alignment for the call */
        call    platform_stack_base     /* rax = cached stack base */
        addq    $8, %rsp
        popq    %rsi
        popq    %rdi
        movq    %rax, 0(%rdi)           /* stack_base */
        cmpq    %rax, %rsi              /* carry_limit = min(base, limit), unsigned */
        cmovbq  %rsi, %rax
        movq    %rax, 16(%rdi)
        xorl    %eax, %eax              /* first return: 0 */
        ret
        .size   qiv_exported_set_exectx, .-qiv_exported_set_exectx

/* Relocates one saved register slot when its value lies in [rsp_lo, limit). */
.macro  relocate_slot off
        movq    \off(%r8), %rax
        cmpq    %r11, %rax              /* below stack_pointer: not ours */
        jb      1f
        cmpq    %rdx, %rax              /* at or above carry_limit: caller's data */
        jae     1f
        addq    %r10, %rax              /* inside the slice: point into the copy */
        movq    %rax, \off(%r8)
1:
.endm

/* void qiv_exported_swap_exectx(qiv_exec_context *rdi), does not return */
        .globl  qiv_exported_swap_exectx
        .type   qiv_exported_swap_exectx, @function
qiv_exported_swap_exectx:
        cmpq    $-1, 24(%rdi)           /* direct context? */
        jne     .Lcopy
        movq    32(%rdi), %rbx          /* reload the six registers */
        movq    40(%rdi), %r12
        movq    48(%rdi), %r13
        movq    56(%rdi), %r14
        movq    64(%rdi), %r15
        movq    72(%rdi), %rbp
        movq    80(%rdi), %rsp          /* the frames above are still live */
        movl    $1, %eax                /* the capture returns 1 */
        jmpq    *88(%rdi)
.Lcopy:
        movq    %rdi, %r8               /* r8 = context */
        movq    16(%r8), %rcx           /* rcx = size = carry_limit - stack_pointer */
        subq    80(%r8), %rcx
        movq    %rcx, %rdx              /* rdx = bytes still to move down */
.Lprobe:
        cmpq    $4096, %rdx             /* one page at a time, touching each */
        jb      .Lprobe_end
        subq    $4096, %rsp
        movq    $0, (%rsp)
        subq    $4096, %rdx
        jmp     .Lprobe
.Lprobe_end:
        subq    %rdx, %rsp
        movq    $0, (%rsp)
        subq    $256, %rsp              /* room to adjust the alignment upwards */
        movq    80(%r8), %rax           /* same address modulo 256 as the original */
        andq    $0xff, %rax
        andq    $-256, %rsp
        orq     %rax, %rsp
        movq    %rsp, %r9               /* r9 = D, start of the copy */
        subq    $8, %rsp                /* the word that will hold the return address */
        movq    %r9, %r10               /* r10 = relocation = D - stack_pointer */
        subq    80(%r8), %r10
        movq    %r10, 8(%r8)
        movq    80(%r8), %r11           /* r11 = stack_pointer, rdx = carry_limit */
        movq    16(%r8), %rdx
        relocate_slot 32
        relocate_slot 40
        relocate_slot 48
        relocate_slot 56
        relocate_slot 64
        relocate_slot 72
        movq    80(%r8), %rsi           /* copy size / 8 words to D */
        movq    %r9, %rdi
        shrq    $3, %rcx
        cld
        rep movsq
        movq    88(%r8), %rax           /* return into the capture's caller */
        movq    %rax, (%rsp)
        movq    32(%r8), %rbx
        movq    40(%r8), %r12
        movq    48(%r8), %r13
        movq    56(%r8), %r14
        movq    64(%r8), %r15
        movq    72(%r8), %rbp
        movq    24(%r8), %rax           /* with resume_value */
        ret
        .size   qiv_exported_swap_exectx, .-qiv_exported_swap_exectx

        .section .note.GNU-stack,"",@progbits
