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
    "usage: vemosfx list [-q] [--json] [--names=MODE] FILE\n"
    "\n"
    "Shows the settings of a package (title, destination as stored, shortcuts,\n"
    "the file opened afterwards) and one line per member: method, packed and\n"
    "unpacked size, header level, CRC, OS id, time (UTC) and path. FILE - reads\n"
    "standard input.\n"
    "\n"
    "      --json          one JSON document instead of the text listing (valid\n"
    "                      UTF-8; each member's stored name in hex as name_hex)\n"
    "  -q, --quiet         the member rows only (no settings, heading or totals)\n"
    "      --names=MODE    how member names are read: cp932, utf-8, euc-jp, latin1\n"
    "                      or auto\n"
    "                      (default: UTF-8 when a name is UTF-8 and not Shift_JIS)\n"
    "  -h, --help          this help\n";

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

void JsonMember(const MemberHeader* header, void* context) {
  uint32_t* count = static_cast<uint32_t*>(context);
  std::string path = Decoded(header->name[0] == '/' ? header->name + 1 : header->name);
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

}  // namespace

int CmdList(int argc, char** argv) {
  static const option LONG_OPTIONS[] = {
      {"json", no_argument, nullptr, 'j'}, {"quiet", no_argument, nullptr, 'q'}, COMMON_LONG_OPTIONS};
  bool json = false, quiet = false;
  optind = 0;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":qh", LONG_OPTIONS, nullptr)) != -1) {
    switch (c) {
      case 'j': json = true; break;
      case 'q': quiet = true; break;
      case OPTION_NAMES:
        if (int status = SetNames("list", optarg)) return status;
        break;
      case OPTION_HELP: fputs(LIST_USAGE, stdout); return EXIT_OK;
      default: return BadOption("list", c, argv);
    }
  }
  if (optind != argc - 1) return UsageError("list", optind == argc ? "no FILE given" : "one FILE only");
  const char* path = argv[optind];

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
    result = ListWalk(state, input.end, ListToBoth, &both, &members);
    printf("%s],\n  \"complete\": %s\n}\n", members ? "\n  " : "", result == LIST_COMPLETE ? "true" : "false");
  } else {
    if (quiet) {  // errors only: no warnings either
      result = ListWalk(state, input.end, QuietRow, nullptr, &members);
    } else {
      ListConfig(stdout, state, has_stored ? &stored : nullptr, ToUtf8);
      result = ListMembers(stdout, state, input.end, ToUtf8, &members, warn, &windows_names);
    }
  }
  CloseCommandInput(&input);
  if (result != LIST_COMPLETE) {
    char message[96];
    snprintf(message, sizeof message, "%s after %u member%s", ListProblem(result), (unsigned)members,
             members == 1 ? "" : "s");
    return FinishOutput(Fail(path, message));
  }
  return FinishOutput(EXIT_OK);
}
