// Marks a function whose pixel loops are built twice: for processors with
// 256-bit vectors and for the baseline, the one to run chosen when the program
// starts. Only the vector width differs: no operation is fused (no
// multiply-add) or reordered, so both give the same results to the bit.
// Sanitizer builds and other compilers keep the single baseline form.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define QUORVEX_WIDE_LOOPS [[gnu::target_clones("avx2", "default")]]
#else
#define QUORVEX_WIDE_LOOPS
#endif
