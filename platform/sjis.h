// Shift_JIS as Windows (code page 932) divides a byte string into
// characters: the one definition that every walk over a name uses.
#pragma once
#include <stddef.h>
#include <stdint.h>

// A byte that starts a double-byte character: 0x81-0x9F or 0xE0-0xFC. 0x80
// and 0xA0 are single bytes, 0xA1-0xDF half-width katakana, 0xFD-0xFF unused.
inline bool SjisLead(uint8_t byte) { return (uint8_t)(byte - 0x81) <= 0x9F - 0x81 || (uint8_t)(byte - 0xE0) <= 0xFC - 0xE0; }
// A byte that may follow a lead byte: 0x40-0xFC but 0x7F. Never 0.
inline bool SjisTrail(uint8_t byte) { return (uint8_t)(byte - 0x40) <= 0xFC - 0x40 && byte != 0x7F; }

// Bytes of the character at p: 2 for a lead byte followed by a trail byte,
// else 1. A lead byte without a trail byte behind it (the terminator, a "/")
// counts alone, so whatever follows it is seen: a walk over a name never sees
// fewer separators than the file system does.
inline uint32_t SjisCharLength(const uint8_t* p) { return SjisLead(p[0]) && SjisTrail(p[1]) ? 2 : 1; }
// The same within a counted buffer: left bytes from p on (at least 1).
inline uint32_t SjisCharLength(const uint8_t* p, size_t left) {
  return left >= 2 && SjisLead(p[0]) && SjisTrail(p[1]) ? 2 : 1;
}

// The 0x5C rule: byte 0x5C ("\") separates folders only where a character
// starts; as the second byte of a double-byte character (0x83 0x5C, a
// katakana "so") it belongs to that character. True when the last character
// of the length bytes of text is a real "\".
inline bool SjisEndsInBackslash(const char* text, size_t length) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
  size_t last = 0;
  for (size_t i = 0; i < length; i += SjisCharLength(p + i, length - i)) last = i;
  return length != 0 && p[last] == '\\';
}
