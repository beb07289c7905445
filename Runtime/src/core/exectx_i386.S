/* Context capture and resume for i386 (cdecl: arguments on the stack, removed
 * by the caller).
 *
 * ExecContext, twelve 4-byte words:
 *    0 stack_base      highest address of the thread's stack
 *    4 relocation      distance from the captured stack to the copy
 *    8 carry_limit     end (exclusive) of the slice a resume copies
 *   12 resume_value    what the capture returns on resume; -1: direct context
 *   16 ebx   20 ecx   24 edx   28 esi   32 edi   36 ebp
 *   40 stack_pointer   caller's esp just after the capture returns (its first argument)
 *   44 resume_address  return address of the capture
 *
 * Deliberately no GNU property note: a shadow stack cannot follow a resume on
 * a copied frame, so this object must keep the library out of CET mode.
 */
        .text

/* intptr_t qiv_exported_set_exectx(qiv_exec_context *context, void *limit) */
        .globl  qiv_exported_set_exectx
        .type   qiv_exported_set_exectx, @function
        .hidden platform_stack_base
qiv_exported_set_exectx:
        movl    4(%esp), %eax           /* eax = context */
        movl    %ebx, 16(%eax)          /* the six registers */
        movl    %ecx, 20(%eax)
        movl    %edx, 24(%eax)
        movl    %esi, 28(%eax)
        movl    %edi, 32(%eax)
        movl    %ebp, 36(%eax)
        movl    $0, 4(%eax)             /* relocation = 0 */
        movl    $1, 12(%eax)            /* resume_value = 1 */
        leal    4(%esp), %ecx           /* esp once we have returned */
        movl    %ecx, 40(%eax)
        movl    (%esp), %ecx            /* our return address */
        movl    %ecx, 44(%eax)
        subl    $12, %esp               /* 16-byte alignment for the call */
        call    platform_stack_base     /* eax = cached stack base */
        addl    $12, %esp
        movl    4(%esp), %ecx           /* ecx = context */
        movl    %eax, 0(%ecx)           /* stack_base */
        movl    8(%esp), %edx           /* carry_limit = min(base, limit), unsigned */
        cmpl    %eax, %edx
        jae     1f
        movl    %edx, %eax
1:      movl    %eax, 8(%ecx)
        xorl    %eax, %eax              /* first return: 0 */
        ret
        .size   qiv_exported_set_exectx, .-qiv_exported_set_exectx

/* Relocates one saved register slot when its value lies in [stack_pointer, carry_limit). */
.macro  relocate_slot off
        movl    \off(%ebx), %eax
        cmpl    40(%ebx), %eax          /* below stack_pointer: not ours */
        jb      1f
        cmpl    8(%ebx), %eax           /* at or above carry_limit: caller's data */
        jae     1f
        addl    %edx, %eax              /* inside the slice: point into the copy */
        movl    %eax, \off(%ebx)
1:
.endm

/* void qiv_exported_swap_exectx(qiv_exec_context *context), does not return */
        .globl  qiv_exported_swap_exectx
        .type   qiv_exported_swap_exectx, @function
qiv_exported_swap_exectx:
        movl    4(%esp), %eax           /* eax = context */
        cmpl    $-1, 12(%eax)           /* direct context? */
        jne     .Lcopy
        movl    40(%eax), %esp          /* the frames above are still live */
        pushl   44(%eax)                /* return address into the old return slot */
        movl    16(%eax), %ebx
        movl    20(%eax), %ecx
        movl    24(%eax), %edx
        movl    28(%eax), %esi
        movl    32(%eax), %edi
        movl    36(%eax), %ebp
        movl    $1, %eax                /* the capture returns 1 */
        ret
.Lcopy:
        movl    %eax, %ebx              /* ebx = context */
        movl    8(%ebx), %ecx           /* ecx = size = carry_limit - stack_pointer */
        subl    40(%ebx), %ecx
        movl    %ecx, %edx              /* edx = bytes still to move down */
.Lprobe:
        cmpl    $4096, %edx             /* one page at a time, touching each */
        jb      .Lprobe_end
        subl    $4096, %esp
        movl    $0, (%esp)
        subl    $4096, %edx
        jmp     .Lprobe
.Lprobe_end:
        subl    %edx, %esp
        movl    $0, (%esp)
        subl    $256, %esp              /* room to adjust the alignment upwards */
        movl    40(%ebx), %eax          /* same address modulo 256 as the original */
        andl    $0xff, %eax
        andl    $-256, %esp
        orl     %eax, %esp
        movl    %esp, %edi              /* edi = D, start of the copy */
        subl    $4, %esp                /* the word that will hold the return address */
        movl    %edi, %edx              /* edx = relocation = D - stack_pointer */
        subl    40(%ebx), %edx
        movl    %edx, 4(%ebx)
        relocate_slot 16
        relocate_slot 20
        relocate_slot 24
        relocate_slot 28
        relocate_slot 32
        relocate_slot 36
        movl    40(%ebx), %esi          /* copy size / 4 words to D */
        shrl    $2, %ecx
        cld
        rep movsl
        movl    44(%ebx), %eax          /* return into the capture's caller */
        movl    %eax, (%esp)
        movl    %ebx, %eax
        movl    16(%eax), %ebx
        movl    20(%eax), %ecx
        movl    24(%eax), %edx
        movl    28(%eax), %esi
        movl    32(%eax), %edi
        movl    36(%eax), %ebp
        movl    12(%eax), %eax          /* with resume_value */
        ret
        .size   qiv_exported_swap_exectx, .-qiv_exported_swap_exectx

        .section .note.GNU-stack,"",@progbits
