// VEMO_FAST_DECODE selects the speed-only paths of the decoder (a sliced CRC,
// bulk bit loads, a dedicated loop for the block-Huffman methods). They give
// exactly the results of the compact paths and are on where size does not
// matter: everywhere but the Windows stub and its test twin.
#pragma once

#ifndef VEMO_FAST_DECODE
#if defined(_WIN32)
#define VEMO_FAST_DECODE 0
#else
#define VEMO_FAST_DECODE 1
#endif
#endif

// The same choice as a constant, for choosing variants by `if constexpr` and
// template arguments, so that the host compiles (and tests) both.
constexpr bool kFastDecode = VEMO_FAST_DECODE != 0;
