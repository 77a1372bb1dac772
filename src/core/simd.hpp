// The one place that decides whether the core's byte scans use SIMD
// instructions:
//   CSV_MENDLE_SIMD       16-byte SSE2 blocks, which every x86-64 processor has;
//   CSV_MENDLE_SIMD_AVX2  besides, 32-byte AVX2 forms of the row scan, built
//                         for that target alone and taken when the processor
//                         running the code has AVX2.
// A build with CSV_MENDLE_PORTABLE defined (the CMake option of that name)
// uses neither: every scan takes its portable branch, as it does on
// processors without SSE2, so that x86-64 machines build and test it too.
#pragma once

#if defined(__SSE2__) && !defined(CSV_MENDLE_PORTABLE)
#define CSV_MENDLE_SIMD 1
#include <emmintrin.h>
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CSV_MENDLE_SIMD_AVX2 1
#include <immintrin.h>
#endif
#endif
