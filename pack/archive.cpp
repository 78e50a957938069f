// Level-2 member headers and the member data behind them.
//
// Header layout: total length (16 bits; in a package below 256, since the
// stub takes it from the first byte), method, packed size, unpacked size,
// modification
// time (seconds since 1970 UTC), the archive attribute 0x20, level 2, CRC-16 of the
// data, OS id ('M', or 'U' in a plain archive), then the extended headers,
// each as type, data and the 16-bit size of the next one (0 ends the
// chain): the header CRC (computed over the whole header with its own field
// zero), the file name, and for members in a folder the folder path with
// 0xFF after each folder; then with 'U' the Unix mode, ids and owner names,
// else an attribute other than the plain archive bit; the 64-bit sizes
// of a member of 4 GiB or more.
#include "pack/archive.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/payload.h"
#include "extract/run.h"
#include "pack/pipeline.h"
#include "platform/host_hooks.h"
#include "platform/sjis.h"

namespace {

const uint32_t CRC_EXT_SIZE = EXT_OVERHEAD + 2;
const uint32_t ATTRIBUTE_EXT_SIZE = EXT_OVERHEAD + 2;
const uint32_t SIZES_64_EXT_SIZE = EXT_OVERHEAD + SIZES_64_SIZE;

bool NeedsSizes64(uint64_t packed_size, uint64_t unpacked_size) {
  return packed_size > SIZE_LIMIT || unpacked_size > SIZE_LIMIT;
}

void Put16(std::vector<uint8_t>* v, uint32_t x) {
  v->push_back((uint8_t)x);
  v->push_back((uint8_t)(x >> 8));
}

void Put32(std::vector<uint8_t>* v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v->push_back((uint8_t)(x >> (8 * i)));
}

// Characters that Windows refuses in a file name, or that the reader would
// take as a separator.
bool ForbiddenAscii(unsigned char c) {
  return c < 0x20 || c == 0x7F || strchr("\\:*?\"<>|", c) != nullptr;
}

// Converts one path component; refuses components that would not come back
// as the same single name.
bool ConvertComponent(const std::string& part, const std::string& whole, bool windows_names, bool no_bar,
                      bool utf8_name, std::string* out, std::string* error) {
  if (part.empty() || part == "." || part == "..") {
    *error = "'" + whole + "': not a usable member name (empty, \".\" or \"..\" part)";
    return false;
  }
  if (!HostIsUtf8(part.c_str())) {
    *error = "'" + whole + "': the name is not valid UTF-8";
    return false;
  }
  if (windows_names && IsDeviceComponent(reinterpret_cast<const uint8_t*>(part.data()),
                                          reinterpret_cast<const uint8_t*>(part.data()) + part.size())) {
    *error = "'" + whole + "': Windows takes \"" + part +
             "\" for a device and cannot create it (--allow-unix-names for an archive meant for Unix)";
    return false;
  }
  if (windows_names && (part.back() == '.' || part.back() == ' ')) {
    *error = "'" + whole + "': Windows cannot create a name that ends in a dot or a space" +
             " (--allow-unix-names for an archive meant for Unix)";
    return false;
  }
  for (unsigned char c : part) {
    if (windows_names && ForbiddenAscii(c)) {
      *error = "'" + whole + "': the name holds a character that Windows does not allow in file names" +
               " (--allow-unix-names for an archive meant for Unix)";
      return false;
    }
    if (no_bar && c == '|') {
      *error = "'" + whole + "': a folder's or a link's name cannot hold \"|\" (readers take what follows for a link's target)";
      return false;
    }
  }
  // UTF-8 holds no "/" and no 0xFF inside a character; a "\" is one
  // (refused above unless Unix names are allowed).
  if (utf8_name) {
    *out = part;
    return true;
  }
  std::vector<char> buf(part.size() * 2 + 8);
  if (!HostUtf8ToSjis(part.c_str(), buf.data(), (uint32_t)buf.size())) {
    *error = "'" + whole + "': the name has a character without a Shift_JIS (code page 932) form" +
             (windows_names ? "" : " (--names=utf-8 stores names in UTF-8)");
    return false;
  }
  std::string sjis(buf.data());
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(sjis.c_str());
  for (size_t i = 0; i < sjis.size(); i += SjisCharLength(bytes + i)) {
    uint8_t b = bytes[i];
    if ((windows_names && b == '\\') || b == '/' || b == FOLDER_SEPARATOR) {
      *error = "'" + whole + "': a character of the name becomes a path separator in Shift_JIS";
      return false;
    }
  }
  *out = sjis;
  return true;
}

}  // namespace

namespace {

const char* UserName(uint32_t id) {
  struct passwd* pw = getpwuid((uid_t)id);
  return pw ? pw->pw_name : nullptr;
}

const char* GroupName(uint32_t id) {
  struct group* gr = getgrgid((gid_t)id);
  return gr ? gr->gr_name : nullptr;
}

// The name of an owner id, looked up once; empty when it has none in UTF-8.
const std::string& OwnerName(std::map<uint32_t, std::string>* cache, uint32_t id, const char* (*lookup)(uint32_t)) {
  auto it = cache->find(id);
  if (it == cache->end()) {
    const char* name = lookup(id);
    it = cache->emplace(id, name && HostIsUtf8(name) ? name : "").first;
  }
  return it->second;
}

}  // namespace

UnixMeta MakeUnixMeta(const MemberSource& m) {
  static std::map<uint32_t, std::string> users, groups;
  UnixMeta meta;
  meta.mode = m.unix_mode;
  // The header holds 16-bit ids: a larger one is not stored at all (a cut
  // one would name another owner), nor the other id beside it.
  meta.ids = m.uid <= 0xFFFF && m.gid <= 0xFFFF;
  meta.uid = meta.ids ? (uint16_t)m.uid : 0;
  meta.gid = meta.ids ? (uint16_t)m.gid : 0;
  if (!m.unix_meta) return meta;
  meta.user = m.user_set ? m.user : OwnerName(&users, m.uid, UserName);
  meta.group = m.group_set ? m.group : OwnerName(&groups, m.gid, GroupName);
  // Id 0 is root on every Unix system (its group is wheel on some): the
  // name adds nothing a reader would not find by the id, and left out it
  // saves 14 bytes a member, a fifth of a tiny file's header. Another name
  // of id 0 is kept.
  if (meta.ids && meta.uid == 0 && meta.user == "root") meta.user.clear();
  if (meta.ids && meta.gid == 0 && meta.group == "root") meta.group.clear();
  return meta;
}

uint16_t ContinueCrc16(uint16_t crc, const uint8_t* data, size_t size) {
  if (g_crc_table[1] == 0) BuildCrcTable();
  while (size > 0) {
    uint32_t n = size > 0x40000000 ? 0x40000000u : (uint32_t)size;
    crc = Crc16(crc, data, n);
    data += n;
    size -= n;
  }
  return crc;
}

uint16_t DataCrc16(const uint8_t* data, size_t size) { return ContinueCrc16(0, data, size); }

bool MakeStoredName(const std::string& utf8, bool directory, uint8_t attribute, StoredName* out,
                    std::string* error, bool windows_names, const std::string& link_target, bool plain,
                    bool utf8_name) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t slash = utf8.find('/', start);
    parts.push_back(utf8.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::vector<std::string> converted(parts.size());
  for (size_t i = 0; i < parts.size(); ++i)
    if (!ConvertComponent(parts[i], utf8, windows_names, directory || !link_target.empty() || i + 1 < parts.size(),
                          utf8_name, &converted[i], error))
      return false;
  StoredName n;
  size_t folders = directory ? converted.size() : converted.size() - 1;
  for (size_t i = 0; i < folders; ++i) {
    n.directory += converted[i];
    n.directory += (char)FOLDER_SEPARATOR;
    n.path += converted[i];
    n.path += '/';
  }
  if (!directory) {
    n.file = converted.back();
    n.path += n.file;
  }
  if (!link_target.empty()) {
    std::vector<char> buf(link_target.size() * 2 + 8);
    bool converted_target = HostIsUtf8(link_target.c_str()) &&
                            (utf8_name || HostUtf8ToSjis(link_target.c_str(), buf.data(), (uint32_t)buf.size()));
    if (!converted_target) {
      *error = "'" + utf8 + "': the link's target '" + link_target + "' has no Shift_JIS form";
      return false;
    }
    // Unix archivers split "link|target" at its last "/", which may lie in
    // the target: the reader joins the two parts again before it looks for
    // the "|".
    std::string whole = n.path + "|" + (utf8_name ? link_target : std::string(buf.data()));
    size_t slash = whole.rfind('/');
    n.directory.clear();
    if (slash != std::string::npos) {
      for (size_t i = 0; i <= slash; ++i) n.directory += whole[i] == '/' ? (char)FOLDER_SEPARATOR : whole[i];
    }
    n.file = whole.substr(slash == std::string::npos ? 0 : slash + 1);
    n.path = whole;
  }
  // The header around the name: what the name may take of its limit. A
  // package's header must stay below 256 bytes, a plain archive's within
  // its 16-bit size (with room for the 64-bit sizes).
  uint32_t around = LEVEL2_BASIC_SIZE + CRC_EXT_SIZE;
  if (!directory) around += EXT_OVERHEAD;
  if (!n.directory.empty()) around += EXT_OVERHEAD;
  if (plain)
    around += UNIX_META_SIZE + SIZES_64_EXT_SIZE;
  else if (attribute != DOS_ARCHIVE)
    around += ATTRIBUTE_EXT_SIZE;
  const uint32_t header_max = plain ? ARCHIVE_HEADER_MAX : LEVEL2_HEADER_MAX;
  const size_t limit = std::min<size_t>(plain ? ARCHIVE_PATH_MAX : PACKAGE_PATH_MAX, header_max - around);
  if (n.path.size() > limit) {
    const std::string length = std::to_string(n.path.size()) + " bytes in " + (utf8_name ? "UTF-8" : "Shift_JIS");
    if (plain)
      *error = "'" + utf8 + "': the path is " + length + "; an archive holds paths of at most " +
               std::to_string(limit) + " bytes, what Unix archivers read";
    else
      *error = "'" + utf8 + "': the name is " + length + ", folders included; a package holds names of at most " +
               std::to_string(limit) + " bytes here, what its stub reads (member headers below 256 bytes, paths of " +
               std::to_string(PACKAGE_PATH_MAX) + ")";
    return false;
  }
  *out = n;
  return true;
}

std::vector<uint8_t> BuildLevel2Header(const char* method, uint64_t packed_size, uint64_t unpacked_size,
                                       uint32_t mtime, uint8_t attribute, uint16_t data_crc,
                                       const StoredName& name, const UnixMeta* unix) {
  bool has_file = !name.file.empty() || name.path.empty() || name.path.back() != '/';
  std::vector<uint8_t> h;
  Put16(&h, 0);  // total length, set below
  h.insert(h.end(), method, method + METHOD_NAME_SIZE);
  Put32(&h, (uint32_t)packed_size);
  Put32(&h, (uint32_t)unpacked_size);
  Put32(&h, mtime);
  h.push_back(DOS_ARCHIVE);
  h.push_back(2);
  Put16(&h, data_crc);
  h.push_back(unix ? OS_ID_UNIX : OS_ID_MSDOS);
  Put16(&h, CRC_EXT_SIZE);
  h.push_back(EXT_HEADER_CRC);
  size_t crc_at = h.size();
  Put16(&h, 0);
  if (has_file) {
    Put16(&h, EXT_OVERHEAD + (uint32_t)name.file.size());
    h.push_back(EXT_FILE_NAME);
    h.insert(h.end(), name.file.begin(), name.file.end());
  }
  if (!name.directory.empty()) {
    Put16(&h, EXT_OVERHEAD + (uint32_t)name.directory.size());
    h.push_back(EXT_DIRECTORY);
    h.insert(h.end(), name.directory.begin(), name.directory.end());
  }
  if (unix) {
    // Unix readers take a link by its mode.
    Put16(&h, EXT_OVERHEAD + 2);
    h.push_back(EXT_UNIX_MODE);
    Put16(&h, unix->mode);
    if (unix->ids) {
      Put16(&h, EXT_OVERHEAD + 4);
      h.push_back(EXT_UNIX_IDS);
      Put16(&h, unix->gid);
      Put16(&h, unix->uid);
    }
    // The owner names there are, when the header has room for them.
    size_t names = (unix->group.empty() ? 0 : EXT_OVERHEAD + unix->group.size()) +
                   (unix->user.empty() ? 0 : EXT_OVERHEAD + unix->user.size());
    if (names && h.size() + names + SIZES_64_EXT_SIZE + 2 <= ARCHIVE_HEADER_MAX) {
      if (!unix->group.empty()) {
        Put16(&h, EXT_OVERHEAD + (uint32_t)unix->group.size());
        h.push_back(EXT_UNIX_GROUP);
        h.insert(h.end(), unix->group.begin(), unix->group.end());
      }
      if (!unix->user.empty()) {
        Put16(&h, EXT_OVERHEAD + (uint32_t)unix->user.size());
        h.push_back(EXT_UNIX_USER);
        h.insert(h.end(), unix->user.begin(), unix->user.end());
      }
    }
    // No Unix time (0x54): a level-2 header's own time is one already, and
    // every reader takes it; 7 bytes a member.
  } else if (attribute != DOS_ARCHIVE) {
    Put16(&h, ATTRIBUTE_EXT_SIZE);
    h.push_back(EXT_ATTRIBUTE);
    Put16(&h, attribute);
  }
  if (NeedsSizes64(packed_size, unpacked_size)) {
    Put16(&h, SIZES_64_EXT_SIZE);
    h.push_back(EXT_SIZES_64);
    for (uint64_t size : {packed_size, unpacked_size}) {
      Put32(&h, (uint32_t)size);
      Put32(&h, (uint32_t)(size >> 32));
    }
  }
  Put16(&h, 0);
  if ((h.size() & 0xFF) == 0) h.push_back(0);
  h[0] = (uint8_t)h.size();
  h[1] = (uint8_t)(h.size() >> 8);
  uint16_t crc = DataCrc16(h.data(), h.size());
  h[crc_at] = (uint8_t)crc;
  h[crc_at + 1] = (uint8_t)(crc >> 8);
  return h;
}

namespace {
// The table index of a compressing method: the block method of its
// dictionary size.
int MethodIndex(const PackMethod& method) {
  return FindMethod(method.dict_bits == 13 ? "-lh5-" : method.dict_bits == 15 ? "-lh6-" : "-lh7-");
}
}  // namespace

bool ParseMethod(const std::string& text, PackMethod* method) {
  if (text == "lh0") {
    method->dict_bits = 0;
  } else if (text == "lh5" || text == "lh6" || text == "lh7") {
    method->dict_bits = MethodTable[FindMethod(("-" + text + "-").c_str())].dict_bits;
  } else {
    return false;
  }
  return true;
}

namespace {

std::string WriteError() { return std::string("cannot write the output: ") + strerror(errno); }

// Writes one file member at the output's position: a header, the data as
// the pipeline writes it, and the header again with the method, sizes and
// CRC now known.
bool WriteFileMember(FILE* out, size_t index, const MemberSource& m, const StoredName& name,
                     const UnixMeta* unix, const PackMethod& method, CompressPipeline* pipeline,
                     const ProgressHook& progress, uint64_t* written, std::string* error) {
  off_t header_at = ftello(out);
  const char* method_name = MethodName(method.dict_bits > 0 ? MethodIndex(method) : METHOD_LH0);
  std::vector<uint8_t> header = BuildLevel2Header(method_name, 0, m.size, m.mtime, m.attribute, 0, name, unix);
  if (fwrite(header.data(), 1, header.size(), out) != header.size()) {
    *error = WriteError();
    return false;
  }
  MemberData data;
  if (!pipeline->WriteData(index, out, progress, &data, error)) return false;
  if (!data.compressed) method_name = MethodName(METHOD_LH0);
  header = BuildLevel2Header(method_name, data.packed_size, m.size, m.mtime, m.attribute,
                             data.crc, name, unix);
  off_t end = ftello(out);
  if (fseeko(out, header_at, SEEK_SET) != 0 || fwrite(header.data(), 1, header.size(), out) != header.size() ||
      fseeko(out, end, SEEK_SET) != 0) {
    *error = WriteError();
    return false;
  }
  *written = header.size() + data.packed_size;
  return true;
}

// Copies one member as it is (header and data), checking what can be
// checked without decoding.
bool CopyMember(FILE* out, const MemberSource& m, const ProgressHook& progress, uint64_t* written,
                std::string* error) {
  FILE* in = fopen(m.copy_path.c_str(), "rb");
  if (!in || fseeko(in, (off_t)m.copy_offset, SEEK_SET) != 0) {
    *error = "'" + m.copy_path + "': cannot be read: " + strerror(errno);
    if (in) fclose(in);
    return false;
  }
  std::vector<uint8_t> header(m.copy_header);
  bool ok = fread(header.data(), 1, header.size(), in) == header.size();
  const char* damaged = "': the header CRC does not match (damaged); nothing was changed";
  if (ok && !HeaderCrcMatches(header)) {
    *error = "'" + m.name + damaged;
    fclose(in);
    return false;
  }
  ok = ok && fwrite(header.data(), 1, header.size(), out) == header.size();
  uint16_t crc = 0;
  uint8_t buf[1 << 16];
  for (uint64_t left = m.copy_length - m.copy_header; ok && left > 0;) {
    size_t n = left < sizeof buf ? (size_t)left : sizeof buf;
    ok = fread(buf, 1, n, in) == n;
    if (ok && m.copy_stored) crc = ContinueCrc16(crc, buf, n);
    ok = ok && fwrite(buf, 1, n, out) == n;
    if (ok && progress) progress(n, false);
    left -= n;
  }
  bool read_failed = ferror(in) || feof(in);
  fclose(in);
  if (!ok) {
    *error = read_failed ? "'" + m.copy_path + "': cannot be read (it changed meanwhile?)" : WriteError();
    return false;
  }
  if (m.copy_stored && m.copy_has_crc && crc != m.copy_crc) {
    *error = "'" + m.name + "': the data does not match its CRC (damaged); nothing was changed";
    return false;
  }
  *written = m.copy_length;
  return true;
}

}  // namespace

bool HeaderCrcMatches(const std::vector<uint8_t>& h) {
  if (h.size() < LEVEL2_BASIC_SIZE || h[HEADER_LEVEL_AT] != 2) return true;
  std::vector<uint8_t> zeroed = h;
  bool found = false;
  uint16_t stored = 0;
  for (size_t at = LEVEL2_FIRST_EXT_AT; at + 2 <= h.size();) {
    uint32_t size = h[at] | h[at + 1] << 8;
    if (size == 0) break;
    at += 2;
    if (size < EXT_OVERHEAD || at + size - 2 > h.size()) return false;
    if (h[at] == EXT_HEADER_CRC && size >= EXT_OVERHEAD + 2) {
      found = true;
      stored = (uint16_t)(h[at + 1] | h[at + 2] << 8);
      zeroed[at + 1] = zeroed[at + 2] = 0;
    }
    at += size - 2;
  }
  return !found || DataCrc16(zeroed.data(), zeroed.size()) == stored;
}

bool WriteArchive(FILE* out, const std::vector<MemberSource>& members,
                  const PackMethod& method, std::string* error, bool windows_names,
                  const ProgressHook& progress) {
  // Positions are 64 bits for every reader here, the stub's included: an
  // archive or package may pass 4 GiB.
  CompressPipeline pipeline(members, method);
  for (size_t index = 0; index < members.size(); ++index) {
    const MemberSource& m = members[index];
    if (!m.copy_path.empty()) {
      uint64_t written = 0;
      if (!CopyMember(out, m, progress, &written, error)) return false;
      if (progress) progress(0, true);
      continue;
    }
    StoredName name;
    // A symbolic link travels the way Unix archivers store it: an empty
    // "-lhd-" member named "link|target" from a Unix system, with its mode.
    bool unix_meta = m.unix_meta || !m.link_target.empty();
    if (!MakeStoredName(m.name, m.directory, m.attribute, &name, error, windows_names, m.link_target, unix_meta,
                        m.utf8_name))
      return false;
    UnixMeta meta = MakeUnixMeta(m);
    if (!m.link_target.empty()) meta.mode = (uint16_t)(0120000 | (m.unix_meta ? meta.mode & 07777 : 0777));
    const UnixMeta* unix = unix_meta ? &meta : nullptr;
    // A package's stub reads the 32-bit sizes only.
    if (!unix_meta && m.size > SIZE_LIMIT) {
      *error = "'" + m.name + "': " + std::to_string(m.size) + " bytes; a package holds members of at most " +
               std::to_string(SIZE_LIMIT) + " bytes (4 GiB - 1), what its stub reads";
      return false;
    }
    uint64_t written = 0;
    if (m.directory || !m.link_target.empty()) {
      std::vector<uint8_t> header =
          BuildLevel2Header(MethodName(METHOD_LHD), 0, 0, m.mtime, m.attribute, 0, name, unix);
      if (fwrite(header.data(), 1, header.size(), out) != header.size()) {
        *error = WriteError();
        return false;
      }
      written = header.size();
    } else if (!WriteFileMember(out, index, m, name, unix, method, &pipeline, progress, &written, error)) {
      return false;
    }
    if (progress) progress(0, true);
  }
  if (fputc(0, out) == EOF) {
    *error = WriteError();
    return false;
  }
  return true;
}
