// The listing of a payload: its configuration block and one line per member.
// Shared by `vemosfx list` and its Windows twin, so that both print the same
// bytes; only the conversion of Shift_JIS texts to UTF-8 differs and is passed
// in by the caller.
#pragma once
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "decode/format.h"
#include "decode/member.h"
#include "extract/header.h"
#include "extract/payload.h"
#include "extract/run.h"
#include "extract/walk.h"

// Converts a Shift_JIS text to UTF-8 into out (capacity bytes, terminated),
// bytes that do not convert written as "\xNN".
typedef void (*ListConvert)(const char* sjis, char* out, uint32_t capacity);

const uint32_t LIST_TEXT_SIZE = 4 * NAME_BUFFER_SIZE + 1;

// What a walk of the archive found.
enum ListResult : int32_t {
  LIST_COMPLETE = 0,   // the archive ended normally
  LIST_DAMAGED = 1,    // a header was cut short or refused
  LIST_UNKNOWN = 2,    // a header layout that is not known
  LIST_TRUNCATED = 3,  // a member's data runs past the end of the file
  LIST_CHECKSUM = 4,   // host: a header fails its own checksum or CRC
};

// ISO 8601 in UTC: "2020-05-17T12:34:56Z"; out holds LIST_TIME_SIZE bytes.
const uint32_t LIST_TIME_SIZE = 64;
inline void ListFormatTime(uint32_t t, char* out) {
  // Civil date from the day number (days since 1970-01-01), by eras of 400
  // years (146097 days) counted from March, so that the leap day falls at
  // the end of a year: no table, no loop, and no C runtime's gmtime, so the
  // tool and the twin print the same text for every 32-bit time.
  uint32_t days = t / 86400, rest = t % 86400;
  int64_t z = (int64_t)days + 719468;
  int64_t era = z / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  snprintf(out, LIST_TIME_SIZE, "%04d-%02d-%02dT%02u:%02u:%02uZ", (int)year, (int)month, (int)day,
           (unsigned)(rest / 3600), (unsigned)(rest / 60 % 60), (unsigned)(rest % 60));
}

// Decimal digits of a 64-bit count (the C runtimes disagree on its format).
inline void ListFormatCount(uint64_t value, char* out) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *out++ = digits[--n];
  *out = 0;
}

// Printable ASCII as it is, anything else as "\xNN".
inline void ListEscapeAscii(const char* bytes, uint32_t count, char* out) {
  static const char hex[] = "0123456789abcdef";
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t b = (uint8_t)bytes[i];
    if (b > 0x20 && b < 0x7F && b != '\\') {
      *out++ = (char)b;
    } else {
      *out++ = '\\';
      *out++ = 'x';
      *out++ = hex[b >> 4];
      *out++ = hex[b & 15];
    }
  }
  *out = 0;
}

// An option byte in words: whether the shortcut is wanted ("yes") and
// whether the user may change that ("ask-"); other bits as "+0xNN".
const uint32_t LIST_CHOICE_SIZE = 16;
inline void ListChoice(uint8_t option, char* out) {
  static const char* const words[4] = {"no", "ask-no", "yes", "ask-yes"};
  uint8_t other = (uint8_t)(option & ~(OPTION_ENABLED | OPTION_CREATE));
  if (other)
    snprintf(out, LIST_CHOICE_SIZE, "%s+0x%02x", words[option & 3], (unsigned)other);
  else
    snprintf(out, LIST_CHOICE_SIZE, "%s", words[option & 3]);
}

// The destination as the configuration block stores it, before it is taken
// against a folder of the machine it runs on: "<current folder>" or
// "<Windows drive>\Program Files", then "\" and the sub-path, if any.
struct ListStored {
  uint8_t base;      // 0: the current folder; else Program Files
  char sub_path[256];
  char destination[300];
};

// The stored destination of a state read from a configuration block.
inline void ListStoredOf(const SfxState* state, ListStored* stored) {
  memset(stored, 0, sizeof *stored);
  stored->base = state->destination_base;
  bool has_sub_path = state->sub_path_at != 0 && state->destination;
  if (has_sub_path) snprintf(stored->sub_path, sizeof stored->sub_path, "%s", state->destination + state->sub_path_at);
  const char* folder = !has_sub_path || stored->base == 0 ? "<current folder>" : "<Windows drive>\\Program Files";
  snprintf(stored->destination, sizeof stored->destination, "%s%s%s", folder, has_sub_path ? "\\" : "",
           stored->sub_path);
}

// stored: the block's own destination (ListStoredOf), or null to show the
// destination as resolved.
inline void ListConfig(FILE* out, const SfxState* state, const ListStored* stored, ListConvert convert) {
  char text[LIST_TEXT_SIZE], choice[LIST_CHOICE_SIZE];
  if (!state->has_config) {
    fputs("config: none\n", out);
    return;
  }
  fputs("config: present\n", out);
  convert(state->title ? state->title : "", text, sizeof text);
  fprintf(out, "  title:           %s\n", text);
  convert(stored ? stored->destination : state->destination ? state->destination : "", text, sizeof text);
  fprintf(out, "  destination:     %s\n", text);
  convert(state->shortcut_target ? state->shortcut_target : "", text, sizeof text);
  fprintf(out, "  shortcut target: %s\n", text);
  ListChoice(state->start_menu_option, choice);
  fprintf(out, "  start menu:      %s\n", choice);
  ListChoice(state->desktop_option, choice);
  fprintf(out, "  desktop:         %s\n", choice);
  ListChoice(state->send_to_option, choice);
  fprintf(out, "  send to:         %s\n", choice);
  convert(state->open_after ? state->open_after : "", text, sizeof text);
  fprintf(out, "  open after:      %s\n", text);
}

// The columns are fixed widths that hold the common cases (sizes below 10
// GB, five-letter methods); a wider value pushes the row on rather than
// being cut, so no field is ever lost.
inline void ListColumnsRow(FILE* out) {
  fprintf(out, "%-6s %10s %10s %5s %4s %4s %-20s %s\n", "method", "packed", "unpacked", "level",
          "crc", "os", "time", "name");
}

// The columns every listing row shows alike: the method (escaped), the CRC
// ("-" when the header has none) and the name, converted; a Unix symbolic
// link, "link|target", shows as "link -> target" (arrow "", to empty
// otherwise).
struct ListRowTexts {
  char method[4 * METHOD_NAME_SIZE + 1];
  char crc[5];
  char name[LIST_TEXT_SIZE];
  const char* arrow;
  char to[LIST_TEXT_SIZE];
};

inline void ListRowTextsOf(const MemberHeader* header, ListConvert convert, ListRowTexts* texts) {
  ListEscapeAscii(header->method, METHOD_NAME_SIZE, texts->method);
  if (header->has_crc)
    snprintf(texts->crc, sizeof texts->crc, "%04x", (unsigned)header->crc);
  else
    strcpy(texts->crc, "-");
  const char* target = FindMethod(header->method) == METHOD_LHD ? LinkTarget(header->name) : nullptr;
  char link[NAME_BUFFER_SIZE];
  strcpy(link, header->name);
  texts->arrow = target ? " -> " : "";
  texts->to[0] = 0;
  if (target) {
    link[target - 1 - header->name] = 0;
    convert(target, texts->to, sizeof texts->to);
  }
  convert(link, texts->name, sizeof texts->name);
}

inline void ListMemberRow(FILE* out, const MemberHeader* header, ListConvert convert) {
  char os[5], when[LIST_TIME_SIZE], packed[24], unpacked[24];
  if (header->os_id == 0)
    strcpy(os, "-");
  else
    ListEscapeAscii((const char*)&header->os_id, 1, os);
  ListFormatTime(header->mtime, when);
  ListRowTexts texts;
  ListRowTextsOf(header, convert, &texts);
  ListFormatCount(header->packed_size, packed);
  ListFormatCount(header->unpacked_size, unpacked);
  fprintf(out, "%-6s %10s %10s %5u %4s %4s %-20s %s%s%s\n", texts.method, packed, unpacked, (unsigned)header->level,
          texts.crc, os, when, texts.name, texts.arrow, texts.to);
}

// A receiver of each member's header, with the caller's context.
typedef void (*ListEach)(const MemberHeader* header, void* context);
// Whether a member is listed (the host's member patterns).
typedef bool (*ListSelect)(const MemberHeader* header, void* context);
struct ListFilter {
  ListSelect select;
  void* context;
};

// Walks the archive from the stream's position to its end, handing each
// member's header (each one filter selects, when given) to each(header,
// context). file_size (-1: not known) bounds every member's data.
// *members receives the number of members handed on.
inline ListResult ListWalk(SfxState* state, int64_t file_size, ListEach each, void* context, uint32_t* members,
                           const ListFilter* filter = nullptr) {
  MemberWalk walk;
  WalkBegin(&walk, state, file_size);
  MemberHeader header;
  *members = 0;
  for (;;) {
    switch (WalkNext(&walk, &header)) {
      case WALK_MEMBER: break;
      case WALK_END: return LIST_COMPLETE;
      case WALK_DAMAGED:
      case WALK_STORED_SIZE: return LIST_DAMAGED;
      case WALK_UNKNOWN: return LIST_UNKNOWN;
      case WALK_CUT_SHORT: return LIST_TRUNCATED;
      case WALK_CHECKSUM: return LIST_CHECKSUM;
    }
    if (filter && !filter->select(&header, filter->context)) continue;
    each(&header, context);
    ++*members;
  }
}

// Two receivers of every member in one walk (the walk reads forward only).
struct ListBoth {
  ListEach first;
  void* first_context;
  ListEach second;
  void* second_context;
};
inline void ListToBoth(const MemberHeader* header, void* context) {
  ListBoth* both = static_cast<ListBoth*>(context);
  both->first(header, both->first_context);
  both->second(header, both->second_context);
}

// The receiver of ListMembers: prints each row and keeps the totals for
// the closing line.
struct ListRows {
  FILE* out;
  ListConvert convert;
  uint64_t packed, unpacked;
};

inline void ListRow(const MemberHeader* header, void* context) {
  ListRows* rows = static_cast<ListRows*>(context);
  ListMemberRow(rows->out, header, rows->convert);
  rows->packed += header->packed_size;
  rows->unpacked += header->unpacked_size;
}

// One row per member, and a closing count; also (when given) receives each
// member too, in the same walk.
inline ListResult ListMembers(FILE* out, SfxState* state, int64_t file_size, ListConvert convert,
                              uint32_t* members, ListEach also = nullptr, void* also_context = nullptr,
                              const ListFilter* filter = nullptr) {
  ListColumnsRow(out);
  ListRows rows = {out, convert, 0, 0};
  ListBoth both = {ListRow, &rows, also, also_context};
  ListResult result = also ? ListWalk(state, file_size, ListToBoth, &both, members, filter)
                           : ListWalk(state, file_size, ListRow, &rows, members, filter);
  if (result != LIST_COMPLETE) return result;
  char packed_text[24], unpacked_text[24];
  ListFormatCount(rows.packed, packed_text);
  ListFormatCount(rows.unpacked, unpacked_text);
  fprintf(out, "%u members, %s bytes packed, %s bytes unpacked\n", (unsigned)*members,
          packed_text, unpacked_text);
  return LIST_COMPLETE;
}

// The one-line description of a failed walk.
inline const char* ListProblem(ListResult result) {
  switch (result) {
    case LIST_COMPLETE: break;
    case LIST_DAMAGED: return "damaged member header";
    case LIST_UNKNOWN: return "unknown header layout";
    case LIST_TRUNCATED: return "member data cut short";
    case LIST_CHECKSUM: return "member header fails its checksum or CRC (damaged)";
  }
  return "";
}
