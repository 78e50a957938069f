// vemosfx list [--json] FILE: the configuration block and the members of a
// package (a file starting with "MZ", payload at PAYLOAD_OFFSET) or of a
// plain LZH archive.
#include <stdio.h>
#include <string.h>

#include <string>

#include "decode/member.h"
#include "extract/header.h"
#include "extract/payload.h"
#include "host/commands.h"
#include "host/input.h"
#include "host/listing.h"

namespace {

const char LIST_USAGE[] =
    "usage: vemosfx list [-qv] [--json] [--names=MODE] FILE [MEMBER...]\n"
    "\n"
    "Shows the settings of a package (title, destination as stored, shortcuts,\n"
    "the file opened afterwards) and one line per member: method, packed and\n"
    "unpacked size, header level, CRC, OS id, time (UTC) and path; with MEMBER\n"
    "patterns (as extract takes them) only the members that match. FILE - reads\n"
    "standard input.\n"
    "\n";

const int OPTION_JSON = 0x101;
const OptionSpec LIST_OPTIONS[] = {
    {OPTION_JSON, 0, "json", nullptr,
     "one JSON document instead of the text listing\n(valid UTF-8; each member's stored name in hex\nas name_hex)"},
    {'v', 'v', "verbose", nullptr,
     "lha's verbose listing: mode, owner, packed and\noriginal size, ratio, method, CRC, time, name"},
    {'q', 'q', "quiet", nullptr, "the member rows only (no settings, heading or\ntotals)"},
    {OPTION_NAMES, 0, "names", "MODE",
     "how member names are read: cp932, utf-8,\neuc-jp, latin1 or auto (default: UTF-8 when a\nname is UTF-8 and not Shift_JIS)"},
    HELP_OPTION,
};

void ToUtf8(const char* sjis, char* out, uint32_t capacity) {
  std::string text = Utf8(sjis);
  snprintf(out, capacity, "%s", text.c_str());
}

// A JSON string of text that should be UTF-8: a byte that is not part of
// valid UTF-8 becomes U+FFFD, so the document is always valid UTF-8 (the
// exact bytes of a name are in its "name_hex"); the controls (C0, DEL and
// C1, which a terminal may act on) as \u escapes.
std::string Json(const std::string& raw) {
  std::string text, out = "\"";
  for (size_t i = 0; i < raw.size();) {
    uint8_t b = (uint8_t)raw[i];
    size_t n = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (n > 0 && i + n <= raw.size() && HostIsUtf8(raw.substr(i, n).c_str())) {
      text.append(raw, i, n);
      i += n;
    } else {
      text += "\xef\xbf\xbd";
      ++i;
    }
  }
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = (unsigned char)text[i];
    unsigned char next = i + 1 < text.size() ? (unsigned char)text[i + 1] : 0;
    uint32_t control = c < 0x20 || c == 0x7F ? c : c == 0xC2 && next >= 0x80 && next < 0xA0 ? next : 0x100;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (control < 0x100) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", (unsigned)control);
      out += escape;
      if (c == 0xC2) ++i;
    } else {
      out += (char)c;
    }
  }
  return out + "\"";
}

// A stored text as UTF-8, bytes that do not convert kept for Json to mark.
// (The text listing uses Utf8 instead, which escapes them as "\xNN" for a
// reader; JSON has no such escape for a byte, hence name_hex.)
std::string Decoded(const char* sjis) {
  char out[4 * PATH_BUFFER_SIZE + 1];
  HostSjisToUtf8(sjis ? sjis : "", out, sizeof out, false);
  return out;
}

std::string JsonText(const char* sjis) { return Json(Decoded(sjis)); }

// The bytes of a text as lowercase hex digits.
std::string Hex(const char* bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const char* p = bytes; *p; ++p) {
    out += digits[(uint8_t)*p >> 4];
    out += digits[(uint8_t)*p & 15];
  }
  return out;
}

void JsonConfig(const SfxState* state, const ListStored* stored) {
  if (!state->has_config) {
    fputs("  \"config\": null,\n", stdout);
    return;
  }
  char choice[LIST_CHOICE_SIZE];
  printf("  \"config\": {\n    \"title\": %s,\n", JsonText(state->title).c_str());
  printf("    \"destination\": %s,\n", JsonText(stored->destination).c_str());
  printf("    \"base\": \"%s\",\n", stored->base ? "program-files" : "current");
  printf("    \"sub_path\": %s,\n", JsonText(stored->sub_path).c_str());
  printf("    \"shortcut_target\": %s,\n", JsonText(state->shortcut_target).c_str());
  ListChoice(state->start_menu_option, choice);
  printf("    \"start_menu\": \"%s\",\n", choice);
  ListChoice(state->desktop_option, choice);
  printf("    \"desktop\": \"%s\",\n", choice);
  ListChoice(state->send_to_option, choice);
  printf("    \"send_to\": \"%s\",\n", choice);
  printf("    \"open_after\": %s\n  },\n", JsonText(state->open_after).c_str());
}

// A member as one JSON object. The type follows the core's judgement: a
// "-lhd-" member named "link|target" is a symbolic link, any other "-lhd-"
// member or an empty one whose name ends in "/" a directory, which is how
// extraction treats them too.
void JsonMember(const MemberHeader* header, void* context) {
  uint32_t* count = static_cast<uint32_t*>(context);
  std::string path = Decoded(LocalName(header->name));
  std::string type = "file", target;
  bool directory_method = FindMethod(header->method) == METHOD_LHD;
  if (directory_method && path.find('|') != std::string::npos) {
    type = "symlink";
    target = path.substr(path.find('|') + 1);
    path.resize(path.find('|'));
  } else if (directory_method || (!path.empty() && path.back() == '/' && header->unpacked_size == 0)) {
    type = "dir";
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  char method[4 * METHOD_NAME_SIZE + 1], when[LIST_TIME_SIZE], crc[8] = "null", os[16] = "null";
  ListEscapeAscii(header->method, METHOD_NAME_SIZE, method);
  ListFormatTime(header->mtime, when);
  if (header->has_crc) snprintf(crc, sizeof crc, "\"%04x\"", (unsigned)header->crc);
  if (header->os_id > 0x20 && header->os_id < 0x7F && header->os_id != '"' && header->os_id != '\\')
    snprintf(os, sizeof os, "\"%c\"", header->os_id);
  else if (header->os_id != 0)
    snprintf(os, sizeof os, "%u", (unsigned)header->os_id);
  printf("%s\n    {\"path\": %s, \"name_hex\": \"%s\", \"type\": \"%s\", ", *count ? "," : "", Json(path).c_str(),
         Hex(header->name).c_str(), type.c_str());
  if (type == "symlink") printf("\"target\": %s, ", Json(target).c_str());
  printf("\"method\": %s, \"packed_size\": %llu, \"unpacked_size\": %llu, \"time\": \"%s\", "
         "\"crc\": %s, \"level\": %u, \"os\": %s}",
         Json(method).c_str(), (unsigned long long)header->packed_size, (unsigned long long)header->unpacked_size,
         when, crc, (unsigned)header->level, os);
  ++*count;
}

// -q: the member rows alone, without settings, headings or totals.
void QuietRow(const MemberHeader* header, void*) { ListMemberRow(stdout, header, ToUtf8); }

// ---- the verbose listing (-v, lha's "v") -----------------------------------

// The Unix mode as ls shows it ("drwxr-xr-x"); a member without one shows
// the system it was made on, as lha does. The type letter comes from the
// mode's own type bits (an archive from Unix stores them), not from the
// method, so a listing tells what the maker's system had.
std::string ModeText(const MemberHeader* header) {
  if (!header->has_unix_mode) return header->os_id == 'M' ? "[MS-DOS]" : "[generic]";
  uint16_t mode = header->unix_mode;
  uint16_t type = mode & 0170000;
  std::string text(1, type == 0040000 ? 'd' : type == 0120000 ? 'l' : '-');
  const char* letters = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) text += mode & (0400 >> bit) ? letters[bit] : '-';
  // setuid, setgid and sticky replace the execute letter (capital when
  // there is no execute bit under it).
  const struct { uint16_t flag, execute; size_t at; char set, unset; } specials[] = {
      {04000, 0100, 3, 's', 'S'}, {02000, 0010, 6, 's', 'S'}, {01000, 0001, 9, 't', 'T'}};
  for (const auto& s : specials)
    if (mode & s.flag) text[s.at] = mode & s.execute ? s.set : s.unset;
  return text;
}

// "user/group" by the names the archive records, else by the ids.
std::string OwnerText(const MemberHeader* header) {
  if (!header->has_unix_ids && !header->user[0] && !header->group[0]) return "";
  std::string user = header->user[0] ? Printable(header->user) : std::to_string(header->uid);
  std::string group = header->group[0] ? Printable(header->group) : std::to_string(header->gid);
  return user + "/" + group;
}

// Packed size against the original, as lha prints it ("******" for nothing).
std::string RatioText(uint64_t packed, uint64_t unpacked) {
  if (unpacked == 0) return "******";
  char text[16];
  snprintf(text, sizeof text, "%5.1f%%", 100.0 * (double)packed / (double)unpacked);
  return text;
}

// The sums for the closing line; 64 bits, since an archive of many members
// may hold more than 4 GiB in all.
struct VerboseTotals {
  uint64_t packed = 0, unpacked = 0;
};

void VerboseHeading() {
  printf("%-10s %-15s %10s %10s %6s %-6s %4s %-20s %s\n", "PERMISSION", "OWNER", "PACKED", "SIZE", "RATIO",
         "METHOD", "CRC", "STAMP", "NAME");
}

// One row: the columns lha's "v" has, in its order, with this tool's time
// format (ISO 8601 in UTC, as the plain listing), so both listings sort
// and compare alike in scripts.
void VerboseRow(const MemberHeader* header, void* context) {
  VerboseTotals* totals = static_cast<VerboseTotals*>(context);
  totals->packed += header->packed_size;
  totals->unpacked += header->unpacked_size;
  char when[LIST_TIME_SIZE];
  ListFormatTime(header->mtime, when);
  ListRowTexts texts;
  ListRowTextsOf(header, ToUtf8, &texts);
  printf("%-10s %-15s %10llu %10llu %6s %-6s %4s %-20s %s%s%s\n", ModeText(header).c_str(), OwnerText(header).c_str(),
         (unsigned long long)header->packed_size, (unsigned long long)header->unpacked_size,
         RatioText(header->packed_size, header->unpacked_size).c_str(), texts.method, texts.crc, when, texts.name,
         texts.arrow, texts.to);
}

// The MEMBER patterns given: only matching members are listed.
bool Selected(const MemberHeader* header, void* patterns) {
  return Select(static_cast<std::vector<Pattern>*>(patterns), HeaderSelectionPath(header));
}

}  // namespace

// One walk of the archive does everything (standard input can be read only
// once): the rows, the totals and the same-file warnings on stderr. A walk
// that stops on damage still prints what it listed, then says where it
// stopped.
int CmdList(int argc, char** argv) {
  OptionParser parser(LIST_OPTIONS);
  bool json = false, quiet = false, verbose = false;
  int c;
  while ((c = parser.Next(argc, argv)) != -1) {
    switch (c) {
      case OPTION_JSON: json = true; break;
      case 'q': quiet = true; break;
      case 'v': verbose = true; break;
      default:
        if (int status = CommonOption(parser, "list", LIST_USAGE, c, argv); status >= 0) return status;
    }
  }
  if (optind >= argc) return UsageError("list", "no FILE given");
  if (json && verbose) return UsageError("list", "give --json or -v, not both");
  const char* path = argv[optind];
  std::vector<Pattern> patterns = Patterns(argc - optind - 1, argv + optind + 1);
  ListFilter filter = {Selected, &patterns};
  const ListFilter* only = patterns.empty() ? nullptr : &filter;

  CommandInput input;
  if (!OpenCommandInput(path, &input)) return EXIT_FAILED;
  SfxState* state = &input.state;
  ListStored stored;
  bool has_stored = state->has_config != 0;
  if (has_stored) ListStoredOf(state, &stored);
  uint32_t members = 0;
  ListResult result;
  // On stderr, in the same walk: names that Windows takes for one file.
  WindowsNames windows_names;
  ListEach warn = [](const MemberHeader* header, void* names) {
    WarnSameFile(static_cast<WindowsNames*>(names), header);
  };
  if (json) {
    if (!has_stored) {  // a plain archive has no block
      memset(&stored, 0, sizeof stored);
      snprintf(stored.destination, sizeof stored.destination, "%s", state->destination ? state->destination : "");
    }
    printf("{\n  \"file\": %s,\n  \"kind\": \"%s\",\n", Json(path).c_str(), input.plain ? "archive" : "package");
    JsonConfig(state, &stored);
    fputs("  \"members\": [", stdout);
    uint32_t shown = 0;
    ListBoth both = {JsonMember, &shown, warn, &windows_names};
    result = ListWalk(state, input.end, ListToBoth, &both, &members, only);
    printf("%s],\n  \"complete\": %s\n}\n", members ? "\n  " : "", result == LIST_COMPLETE ? "true" : "false");
  } else {
    if (!quiet) ListConfig(stdout, state, has_stored ? &stored : nullptr, ToUtf8);
    if (verbose) {
      VerboseTotals totals;
      if (!quiet) VerboseHeading();
      ListBoth both = {VerboseRow, &totals, warn, &windows_names};
      result = quiet ? ListWalk(state, input.end, VerboseRow, &totals, &members, only)
                     : ListWalk(state, input.end, ListToBoth, &both, &members, only);
      if (result == LIST_COMPLETE && !quiet)
        printf("%u member%s, %llu bytes packed, %llu bytes unpacked, ratio %s\n", (unsigned)members,
               members == 1 ? "" : "s", (unsigned long long)totals.packed, (unsigned long long)totals.unpacked,
               RatioText(totals.packed, totals.unpacked).c_str());
    } else if (quiet) {  // errors only: no warnings either
      result = ListWalk(state, input.end, QuietRow, nullptr, &members, only);
    } else {
      result = ListMembers(stdout, state, input.end, ToUtf8, &members, warn, &windows_names, only);
    }
  }
  CloseCommandInput(&input);
  if (result != LIST_COMPLETE) {
    char message[96];
    snprintf(message, sizeof message, "%s after %u member%s", ListProblem(result), (unsigned)members,
             members == 1 ? "" : "s");
    return FinishOutput(Fail(path, message));
  }
  return FinishOutput(ReportUnmatched(patterns));
}
