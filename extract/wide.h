// What the host tool reads beyond the stub: the metadata other systems
// store in a member header (the Unix area of level 0, the Windows time
// stamps, 64-bit sizes, Unix modes and owners), MS-DOS times taken with the
// local rules of their own date, other archivers' names of the methods it
// decodes, and stored members of 4 GiB or more. Only the host defines these
// (wide.cpp); the core calls them behind kHostTool, so the stub's code does
// not change.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include "extract/header.h"

// A level-0 header's Unix area; area points at its OS id.
void ReadUnixArea(const uint8_t* area, MemberHeader* header);
// The extended headers only the host reads (sizes, times, mode, owner);
// others are left alone.
void ReadWideExtension(uint8_t type, const uint8_t* data, uint32_t length, MemberHeader* header);
// An MS-DOS date and time, local to this machine, as seconds since 1970 UTC:
// converted with the time-zone rules of that date (daylight saving time
// included), 0 for 0.
uint32_t LocalDosTimeToUnix(uint32_t dos_time);
// True when the member's sizes do not fit the decoders' 32-bit counts.
inline bool IsWideMember(const MemberHeader* header) {
  return ((uint64_t)header->packed_size | (uint64_t)header->unpacked_size) >> 32 != 0;
}
// DecodeMember for a member of any size (the method as CheckMember found
// it): those that fit 32 bits go to the decoders; a larger stored member is
// copied here. Returns the CRC-16 of what it wrote; *status a DecodeStatus.
uint16_t DecodeAnySize(FILE* in, FILE* out, const MemberHeader* header, int32_t method, DecodeStatus* status);
