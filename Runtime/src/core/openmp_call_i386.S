/* Calls an OpenMP region function with an array of argument words, i386
 * (cdecl: every word on the stack, removed by the caller).  The forks gather
 * their variadic words into an array; this routine copies them into a fresh
 * block on the stack, 16-byte aligned at the call as the System V i386 ABI
 * expects, and calls the function.  No C++ can build a call of a count known
 * only at run time, hence the assembly.
 *
 * Frame while the callee runs (ebp = our frame):
 *   16(%ebp)      count
 *   12(%ebp)      words
 *    8(%ebp)      fn
 *    4(%ebp)      return address
 *    0(%ebp)      caller's ebp
 *   -4(%ebp)      caller's esi,  -8(%ebp) caller's edi
 *    ...          padding down to 16-byte alignment
 *    0(%esp)      word 0, 4(%esp) word 1, ...
 *
 * Deliberately no GNU property note: the region code that calls this runs
 * on copied frames, which a shadow stack cannot follow.
 */
        .text

/* void openmp_call_words(void (*fn)(), const uintptr_t *words, uintptr_t count) */
        .globl  openmp_call_words
        .hidden openmp_call_words
        .type   openmp_call_words, @function
openmp_call_words:
        pushl   %ebp                    /* frame, so the stack can be freed at once */
        movl    %esp, %ebp
        pushl   %esi                    /* callee-saved, used by the copy */
        pushl   %edi
        movl    16(%ebp), %ecx          /* ecx = count */
        leal    0(,%ecx,4), %eax        /* room for the words */
        subl    %eax, %esp
        andl    $-16, %esp              /* aligned block at the call */
        movl    12(%ebp), %esi          /* source: the words */
        movl    %esp, %edi              /* destination: the block */
        cld                             /* copy upwards */
        rep movsl                       /* ecx words */
        call    *8(%ebp)                /* the region function */
        leal    -8(%ebp), %esp          /* drop the block */
        popl    %edi                    /* restore the callee-saved pair */
        popl    %esi
        popl    %ebp                    /* caller's frame */
        ret
        .size   openmp_call_words, .-openmp_call_words

        .section .note.GNU-stack,"",@progbits
