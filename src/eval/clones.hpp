#pragma once

// Loops compiled once for each instruction set and chosen at load time: the
// widest vectors the processor has, and the same bits on any (the operations
// are IEEE's, never contracted into fused multiply-adds behind our back).
#if defined(__x86_64__) && !defined(VEMIRAL_SANITIZE_BUILD)
#define VEMIRAL_CLONES [[gnu::target_clones("avx512f", "avx2", "default")]]
// For kernels built on fused multiply-adds: the AVX2 clone has none (its
// std::fma would be a library call a point), the FMA one has them and AVX's
// vectors of four doubles.
#define VEMIRAL_FMA_CLONES [[gnu::target_clones("avx512f", "fma", "default")]]
#else
#define VEMIRAL_CLONES
#define VEMIRAL_FMA_CLONES
#endif
