/* zeq_dialect.h: what translated Zeq code needs from the runtime header.
 *
 * Zeq.h includes this at its end, after the exports are declared.
 *
 * Remote-module bodies (zeqremote output) are the bodies of GPU kernels run
 * on the host: a device kernel handles one index per thread, whereas here one
 * call handles the whole share of a region member.  So the range macros give
 * the member's slice through the runtime's range queries instead of the
 * one-element range [pix(), pix() + 1) of a kernel, and the block barrier is
 * empty: the one thread that runs a share has nobody to wait for.
 *
 * zeqopenmp output keeps `serial(key) { ... break();}`: a critical section on
 * the runtime's address-keyed lock of key, opened by serial(key) and closed by
 * the break() call that the translator appends.  break is a keyword, but the
 * preprocessor allows a function-like macro of that name, and it only expands
 * when a '(' follows, so a plain `break;` stays the keyword.  serial(key) opens
 * a brace of its own that break() closes, which keeps the key in a local of
 * the construct (nested serial blocks each see their own) and makes the whole
 * construct one statement.
 */
#ifndef ZEQ_DIALECT_H
#define ZEQ_DIALECT_H

/* ---- remote-module bodies -------------------------------------------------- */

#define pix() qiv_exported_pix()
#define QIV_RANGE_START(n) qiv_exported_range_start(n)
#define QIV_RANGE_END(n) qiv_exported_range_end(n)
#define qiv_sync() ((void)0)

/* The wrapper of every remote entry point is declared __declspec(dllexport).
 * Remote modules are built with -fvisibility=hidden, so the wrappers
 * (fline<line>) are exactly what the module exports. */
#if !defined(_WIN32)
#define __declspec(attribute) QIV_DECLSPEC_##attribute
#define QIV_DECLSPEC_dllexport __attribute__((visibility("default")))
#define QIV_DECLSPEC_dllimport
#endif

/* ---- serial blocks ------------------------------------------------------------ */

#define serial(key)                                                   \
    {                                                                 \
        const volatile void *qiv_serial_key_ = (const volatile void *)(key); \
        qiv_exported_sync(qiv_serial_key_);

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wkeyword-macro"
#endif
#define break() \
    qiv_exported_unsync(qiv_serial_key_); \
    }
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

#endif
