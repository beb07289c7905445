/* Calls an OpenMP region function with an array of argument words, x86-64
 * (System V).  The forks gather their variadic words into an array; this
 * routine puts them back where the callee expects them: the first six in
 * rdi, rsi, rdx, rcx, r8, r9 and the rest in a fresh block on the stack,
 * 16-byte aligned at the call.  No C++ can build a call of a count known
 * only at run time, hence the assembly.
 *
 * Frame while the callee runs (rbp = our frame):
 *    8(%rbp)      return address
 *    0(%rbp)      caller's rbp
 *    ...          padding down to 16-byte alignment
 *    0(%rsp)      word 6, 8(%rsp) word 7, ... (only when count > 6)
 *
 * Deliberately no GNU property note: the region code that calls this runs
 * on copied frames, which a shadow stack cannot follow.
 */
        .text

/* void openmp_call_words(void (*fn)() rdi, const uintptr_t *words rsi, uintptr_t count rdx) */
        .globl  openmp_call_words
        .hidden openmp_call_words
        .type   openmp_call_words, @function
openmp_call_words:
        pushq   %rbp                    /* frame, so the stack can be freed at once */
        movq    %rsp, %rbp
        movq    %rdi, %r11              /* r11 = fn */
        movq    %rsi, %r10              /* r10 = words */
        movq    %rdx, %rcx              /* rcx = count */
        subq    $6, %rcx                /* rcx = words that go on the stack */
        jbe     .Lregisters             /* six or fewer: none */
        leaq    0(,%rcx,8), %rax        /* room for them */
        subq    %rax, %rsp
        andq    $-16, %rsp              /* aligned block at the call */
        leaq    48(%r10), %rsi          /* source: word 6 onwards */
        movq    %rsp, %rdi              /* destination: the block */
        cld                             /* copy upwards */
        rep movsq                       /* rcx words */
        jmp     .Lload6
.Lregisters:
        andq    $-16, %rsp              /* aligned at the call */
        cmpq    $5, %rdx                /* load only the words that exist */
        ja      .Lload6                 /* six words */
        je      .Lload5                 /* five */
        cmpq    $3, %rdx                /* fewer than five */
        ja      .Lload4                 /* four */
        je      .Lload3                 /* three */
        cmpq    $1, %rdx                /* fewer than three */
        ja      .Lload2                 /* two */
        je      .Lload1                 /* one */
        jmp     .Lcall                  /* none */
.Lload6:
        movq    40(%r10), %r9           /* word 5 */
.Lload5:
        movq    32(%r10), %r8           /* word 4 */
.Lload4:
        movq    24(%r10), %rcx          /* word 3 */
.Lload3:
        movq    16(%r10), %rdx          /* word 2 */
.Lload2:
        movq    8(%r10), %rsi           /* word 1 */
.Lload1:
        movq    0(%r10), %rdi           /* word 0 */
.Lcall:
        xorl    %eax, %eax              /* no vector registers, for variadic callees */
        call    *%r11                   /* the region function */
        movq    %rbp, %rsp              /* drop the block */
        popq    %rbp                    /* caller's frame */
        ret
        .size   openmp_call_words, .-openmp_call_words

        .section .note.GNU-stack,"",@progbits
