// The context switch itself: what a capture stores, how a resume on a copy
// places and relocates it, and that a direct context returns in place.  A hand
// made context resumes into a small landing routine that reports the registers
// and the stack it arrived with, then switches straight back.
#include <gtest/gtest.h>

#include <string.h>

#include "zeq_runtime.h"
#include "platform.h"

extern "C" {
// Filled by the landing routine: the six register slots in record order, then
// the stack pointer it arrived with, then a copy of the first 256 bytes there.
uintptr_t landing_seen[7];
unsigned char landing_bytes[256];
qiv_exec_context *landing_back;
void exectx_landing(void);
}

#if defined(__i386__)
asm(R"(
        .text
        .globl  exectx_landing
        .type   exectx_landing, @function
exectx_landing:
        movl    %ebx, landing_seen
        movl    %ecx, landing_seen+4
        movl    %edx, landing_seen+8
        movl    %esi, landing_seen+12
        movl    %edi, landing_seen+16
        movl    %ebp, landing_seen+20
        movl    %esp, landing_seen+24
        movl    %esp, %esi
        movl    $landing_bytes, %edi
        movl    $256, %ecx
        cld
        rep movsb
        pushl   landing_back
        call    qiv_exported_swap_exectx
        .size   exectx_landing, .-exectx_landing
)");
#else
asm(R"(
        .text
        .globl  exectx_landing
        .type   exectx_landing, @function
exectx_landing:
        movq    %rbx, landing_seen(%rip)
        movq    %r12, landing_seen+8(%rip)
        movq    %r13, landing_seen+16(%rip)
        movq    %r14, landing_seen+24(%rip)
        movq    %r15, landing_seen+32(%rip)
        movq    %rbp, landing_seen+40(%rip)
        movq    %rsp, landing_seen+48(%rip)
        movq    %rsp, %rsi
        leaq    landing_bytes(%rip), %rdi
        movl    $256, %ecx
        cld
        rep movsb
        movq    landing_back(%rip), %rdi
        andq    $-16, %rsp
        call    qiv_exported_swap_exectx@PLT
        .size   exectx_landing, .-exectx_landing
)");
#endif

namespace {

// Resumes `context` on a copy and comes back here when the landing switches to
// our direct context.  Returns the value the capture returned the second time.
QIV_NOINLINE intptr_t resume_and_return(qiv_exec_context *context)
{
    qiv_exec_context back;
    volatile intptr_t rounds = 0;
    intptr_t r = qiv_exported_set_exectx(&back, nullptr);
    rounds = rounds + 1;
    if (r == 0) {
        back.resume_value = -1;
        landing_back = &back;
        qiv_exported_swap_exectx(context);
    }
    return r * 10 + rounds;
}

TEST(exectx, resume_on_copy_relocates_only_registers_inside_the_slice)
{
    // A fake captured stack: 256 bytes, patterned, aligned like a real frame.
    alignas(256) static unsigned char slice[512];
    for (int i = 0; i < 512; ++i)
        slice[i] = (unsigned char)(i * 7 + 1);
    uintptr_t sp = (uintptr_t)slice + 64 + 8;
    uintptr_t limit = sp + 256;

    qiv_exec_context ctx;
    memset(&ctx, 0, sizeof ctx);
    ctx.carry_limit = limit;
    ctx.stack_pointer = sp;
    ctx.resume_address = (uintptr_t)&exectx_landing;
    ctx.resume_value = 42;
    ctx.saved[0] = sp;                   // equal to stack_pointer: relocated
    ctx.saved[1] = limit;                // equal to carry_limit: points past the slice, kept
    ctx.saved[2] = sp - 4;               // below the slice: kept
    ctx.saved[3] = sp + 100;             // inside: relocated
    ctx.saved[4] = limit - 1;            // last byte inside: relocated
    ctx.saved[5] = (uintptr_t)&ctx.saved; // our own frame, far from the slice: kept

    EXPECT_EQ(resume_and_return(&ctx), 1 * 10 + 2);

    uintptr_t d = landing_seen[6];
    intptr_t reloc = (intptr_t)(d - sp);
    EXPECT_EQ(ctx.relocation, reloc);
    EXPECT_EQ(d % 256, sp % 256) << "the copy keeps the alignment modulo 256";
    EXPECT_EQ(landing_seen[0], sp + reloc);
    EXPECT_EQ(landing_seen[1], limit);
    EXPECT_EQ(landing_seen[2], sp - 4);
    EXPECT_EQ(landing_seen[3], sp + 100 + reloc);
    EXPECT_EQ(landing_seen[4], limit - 1 + reloc);
    EXPECT_EQ(landing_seen[5], (uintptr_t)&ctx.saved);
    EXPECT_EQ(memcmp(landing_bytes, (void *)sp, 256), 0) << "the slice is copied word for word";
}

QIV_NOINLINE intptr_t capture(qiv_exec_context *ctx, void *limit, uintptr_t *sp_inside)
{
    volatile char marker = 0;
    *sp_inside = (uintptr_t)&marker;
    return qiv_exported_set_exectx(ctx, limit);
}

TEST(exectx, capture_records_the_caller_and_clamps_the_limit_to_the_stack_base)
{
    qiv_exec_context ctx;
    memset(&ctx, 0xAB, sizeof ctx);
    uintptr_t inside = 0;
    EXPECT_EQ(capture(&ctx, (void *)UINTPTR_MAX, &inside), 0);
    EXPECT_EQ(ctx.relocation, 0);
    EXPECT_EQ(ctx.resume_value, 1);
    EXPECT_EQ(ctx.stack_base, platform_stack_base());
    EXPECT_EQ(ctx.carry_limit, ctx.stack_base) << "a limit above the stack base is clamped";
    EXPECT_GT(ctx.stack_pointer, (uintptr_t)&ctx - 4096);
    EXPECT_LE(ctx.stack_pointer, inside + 1) << "the capture's stack pointer lies in the caller's frame";
    EXPECT_NE(ctx.resume_address, 0u);

    uintptr_t mine = (uintptr_t)&ctx + 64;
    capture(&ctx, (void *)mine, &inside);
    EXPECT_EQ(ctx.carry_limit, mine) << "a limit below the stack base is kept";
}

TEST(exectx, direct_context_returns_one_in_place_many_times)
{
    qiv_exec_context ctx;
    memset(&ctx, 0, sizeof ctx);
    // Resume a direct context into the landing: it must arrive with exactly the
    // registers stored and the stack pointer as given, nothing copied.
    alignas(16) static uintptr_t fake_stack[64];
    ctx.resume_value = -1;
    ctx.stack_pointer = (uintptr_t)&fake_stack[32];
    ctx.resume_address = (uintptr_t)&exectx_landing;
    for (int i = 0; i < 6; ++i)
        ctx.saved[i] = 0x1000 + i;
    for (int round = 0; round < 1000; ++round)
        ASSERT_EQ(resume_and_return(&ctx), 12);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(landing_seen[i], (uintptr_t)(0x1000 + i));
    EXPECT_EQ(landing_seen[6], (uintptr_t)&fake_stack[32]);
}

} // namespace
