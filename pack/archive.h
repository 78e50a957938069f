// The LZH archive writer: level-2 member headers, member data (stored or
// block-Huffman compressed) and the closing 0 byte.
#pragma once
#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <vector>

#include "decode/format.h"
#include "platform/floor.h"
#include "pack/compress.h"

// The longest level-2 header: in a package the stub takes its length from
// the first byte alone; in a plain archive the 16-bit size holds it (Unix
// archivers read that).
const uint32_t LEVEL2_HEADER_MAX = 255;
const uint32_t ARCHIVE_HEADER_MAX = 0xFFFF;
// The longest member path: in a package what the stub's paths hold; in a
// plain archive what Linux's do, which every Unix archiver here reads.
const uint32_t PACKAGE_PATH_MAX = PATH_MAX_BYTES;
const uint32_t ARCHIVE_PATH_MAX = 4095;
// MS-DOS attributes.
const uint8_t DOS_READ_ONLY = 0x01;
const uint8_t DOS_DIRECTORY = 0x10;
const uint8_t DOS_ARCHIVE = 0x20;
// The 32-bit size fields of a header: the largest member of a package (the
// stub reads only them). A plain archive stores larger sizes in the 64-bit
// size extended header as well.
const uint64_t SIZE_LIMIT = 0xFFFFFFFFull;

// Told of input bytes read (member_done false) and of each member written
// (member_done true, bytes 0).
typedef std::function<void(uint64_t bytes, bool member_done)> ProgressHook;

// One member to write. Files are read from disk_path; directories have no
// data.
struct MemberSource {
  std::string name;       // UTF-8, "/" separators, no leading or trailing "/"
  bool directory = false;
  std::string disk_path;
  uint32_t mtime = 0;     // seconds since 1970 UTC
  uint8_t attribute = DOS_ARCHIVE;
  uint64_t size = 0;
  std::string link_target;  // a symbolic link's target (UTF-8): stored as a link
  // Plain archives keep the Unix meaning: the mode, the owner (numbers and,
  // when they fit, names) and the time in the extended headers Unix
  // archivers write, with OS id 'U'. Packages keep MS-DOS attributes only.
  bool unix_meta = false;
  // Plain archives: the name stored in UTF-8 rather than Shift_JIS.
  bool utf8_name = false;
  uint16_t unix_mode = 0;
  uint32_t uid = 0, gid = 0;
  // --owner, --group, --numeric-owner: the owner names to store instead of
  // those of the ids (empty: none).
  bool user_set = false, group_set = false;
  std::string user, group;
  // A member copied as it is from an archive (add, delete): copy_length
  // bytes, header and data, at copy_offset of copy_path; the header's first
  // copy_header bytes. Checked as it is copied: a level-2 header's CRC, and
  // the data CRC (copy_crc, when copy_has_crc) of a stored member.
  std::string copy_path;
  uint64_t copy_offset = 0, copy_length = 0;
  uint32_t copy_header = 0;
  bool copy_stored = false, copy_has_crc = false;
  uint16_t copy_crc = 0;
  // The file collected at disk_path (0, 0: not checked), and whether it was
  // reached through a symbolic link (-L). The file opened must be that one.
  uint64_t device = 0, inode = 0;
  bool through_link = false;
};

// The Unix extended headers of a member: mode, group and user ids, group
// and user names (left out when they would not fit the header).
struct UnixMeta {
  uint16_t mode = 0;
  bool ids = true;  // false: an id past 16 bits; no ids are stored, the names are
  uint16_t uid = 0, gid = 0;
  std::string user, group;
};
// The bytes the Unix extended headers take without the owner names.
const uint32_t UNIX_META_SIZE = (EXT_OVERHEAD + 2) + (EXT_OVERHEAD + 4);
// A member's Unix headers, owner names looked up once per id.
UnixMeta MakeUnixMeta(const MemberSource& m);

// A member name as stored: Shift_JIS, split into the directory part (each
// folder followed by 0xFF) and the file name (empty for a directory).
struct StoredName {
  std::string directory;
  std::string file;
  // The path the reader rebuilds ("/" separators; "/" at the end of a
  // directory).
  std::string path;
};

// Converts and checks a member name. False with a message naming it when a
// part is not UTF-8, has no Shift_JIS form, holds a character Windows cannot
// have in a file name, or the path (or its header) would not fit; with
// windows_names also when a part is a device name (CON, nul.txt, ...) or
// ends in a dot or a space; without it any name Unix allows passes, except
// a "|" in a folder's or a link's name (the reader takes it for a link's
// target). A link's target, when given, follows the file name after "|".
// plain: a plain archive's member, with the Unix extended headers and the
// plain archive's limits (else a package's, which the stub reads); utf8:
// stored as UTF-8 (plain archives only), so that any name fits.
bool MakeStoredName(const std::string& utf8, bool directory, uint8_t attribute, StoredName* out,
                    std::string* error, bool windows_names = true, const std::string& link_target = "",
                    bool plain = false, bool utf8_name = false);

// The complete level-2 header of a member, header CRC filled in. The basic
// header's attribute byte is always DOS_ARCHIVE, as level-2 readers expect
// (some refuse any other value); another attribute (a directory, a
// read-only file) travels in an attribute extended header, which takes
// precedence for every reader. With unix, the OS id is 'U' and the Unix
// extended headers replace the attribute one.
// Sizes of 4 GiB or more go into a 64-bit size extended header too (the
// 32-bit fields then hold their low 32 bits). A header whose size would have
// a low byte of 0 gets one more zero byte at its end: a first byte of 0 ends
// an archive.
std::vector<uint8_t> BuildLevel2Header(const char* method, uint64_t packed_size, uint64_t unpacked_size,
                                       uint32_t mtime, uint8_t attribute, uint16_t data_crc,
                                       const StoredName& name, const UnixMeta* unix = nullptr);

// CRC-16 of a byte range, through the core's table; ContinueCrc16 goes on
// from the CRC of the bytes before.
uint16_t DataCrc16(const uint8_t* data, size_t size);
uint16_t ContinueCrc16(uint16_t crc, const uint8_t* data, size_t size);

// "lh0", "lh5", "lh6" or "lh7", the level and the threads that compress.
struct PackMethod {
  int dict_bits = 13;  // 0: store every member
  int level = LEVEL_DEFAULT;
  int threads = 1;
};
// Parses a method name; false for an unknown one.
bool ParseMethod(const std::string& text, PackMethod* method);

// True when a level-2 header (its whole bytes) has no header-CRC extended
// header or one that matches; levels 0 and 1 carry none that is checked.
bool HeaderCrcMatches(const std::vector<uint8_t>& header);

// Writes every member and the closing 0 byte to out (seekable), at its
// position (behind a package's stub and configuration block). False with a
// message when a member cannot be read, or is 4 GiB or more in a package.
// progress, when set, is told of each member written.
bool WriteArchive(FILE* out, const std::vector<MemberSource>& members,
                  const PackMethod& method, std::string* error, bool windows_names = true,
                  const ProgressHook& progress = nullptr);
