// Level-2 member headers and the member data behind them.
//
// Header layout: total length (16 bits; below 256, since readers take it
// from the first byte), method, packed size, unpacked size, modification
// time (seconds since 1970 UTC), the archive attribute 0x20, level 2, CRC-16 of the
// data, OS id 'M', then the extended headers, each as type, data and the
// 16-bit size of the next one (0 ends the chain): the header CRC (computed
// over the whole header with its own field zero), the file name, and for
// members in a folder the folder path with 0xFF after each folder, and an
// attribute other than the plain archive bit.
#include "pack/archive.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "decode/bitio.h"
#include "decode/member.h"
#include "extract/payload.h"
#include "extract/run.h"
#include "platform/host_hooks.h"

namespace {

const uint32_t CRC_EXT_SIZE = EXT_OVERHEAD + 2;
const uint32_t ATTRIBUTE_EXT_SIZE = EXT_OVERHEAD + 2;

void Put16(std::vector<uint8_t>* v, uint32_t x) {
  v->push_back((uint8_t)x);
  v->push_back((uint8_t)(x >> 8));
}

void Put32(std::vector<uint8_t>* v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v->push_back((uint8_t)(x >> (8 * i)));
}

bool IsLead(uint8_t b) { return IsLeadByte(b); }

// Characters that Windows refuses in a file name, or that the reader would
// take as a separator.
bool ForbiddenAscii(unsigned char c) {
  return c < 0x20 || c == 0x7F || strchr("\\:*?\"<>|", c) != nullptr;
}

// Converts one path component; refuses components that would not come back
// as the same single name.
bool ConvertComponent(const std::string& part, const std::string& whole, bool windows_names,
                      std::string* out, std::string* error) {
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
    if (ForbiddenAscii(c)) {
      *error = "'" + whole + "': the name holds a character that Windows does not allow in file names";
      return false;
    }
  }
  std::vector<char> buf(part.size() * 2 + 8);
  if (!HostUtf8ToSjis(part.c_str(), buf.data(), (uint32_t)buf.size())) {
    *error = "'" + whole + "': the name has a character without a Shift_JIS (code page 932) form";
    return false;
  }
  std::string sjis(buf.data());
  for (size_t i = 0; i < sjis.size(); ++i) {
    uint8_t b = (uint8_t)sjis[i];
    if (IsLead(b) && i + 1 < sjis.size()) {
      ++i;
      continue;
    }
    if (b == '\\' || b == '/' || b == FOLDER_SEPARATOR) {
      *error = "'" + whole + "': a character of the name becomes a path separator in Shift_JIS";
      return false;
    }
  }
  *out = sjis;
  return true;
}

}  // namespace

uint16_t DataCrc16(const uint8_t* data, size_t size) {
  if (g_crc_table[1] == 0) BuildCrcTable();
  uint16_t crc = 0;
  while (size > 0) {
    uint32_t n = size > 0x40000000 ? 0x40000000u : (uint32_t)size;
    crc = Crc16(crc, data, n);
    data += n;
    size -= n;
  }
  return crc;
}

bool MakeStoredName(const std::string& utf8, bool directory, uint8_t attribute, StoredName* out,
                    std::string* error, bool windows_names, const std::string& link_target) {
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
    if (!ConvertComponent(parts[i], utf8, windows_names, &converted[i], error)) return false;
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
    if (!HostIsUtf8(link_target.c_str()) || !HostUtf8ToSjis(link_target.c_str(), buf.data(), (uint32_t)buf.size())) {
      *error = "'" + utf8 + "': the link's target '" + link_target + "' has no Shift_JIS form";
      return false;
    }
    // Unix archivers split "link|target" at its last "/", which may lie in
    // the target: the reader joins the two parts again before it looks for
    // the "|".
    std::string whole = n.path + "|" + buf.data();
    size_t slash = whole.rfind('/');
    n.directory.clear();
    if (slash != std::string::npos) {
      for (size_t i = 0; i <= slash; ++i) n.directory += whole[i] == '/' ? (char)FOLDER_SEPARATOR : whole[i];
    }
    n.file = whole.substr(slash == std::string::npos ? 0 : slash + 1);
    n.path = whole;
  }
  if (n.path.size() > PATH_MAX_BYTES) {
    *error = "'" + utf8 + "': the path is " + std::to_string(n.path.size()) +
             " bytes in Shift_JIS; at most " + std::to_string(PATH_MAX_BYTES) + " fit";
    return false;
  }
  uint32_t header = LEVEL2_BASIC_SIZE + CRC_EXT_SIZE;
  if (!directory) header += EXT_OVERHEAD + (uint32_t)n.file.size();
  if (!n.directory.empty()) header += EXT_OVERHEAD + (uint32_t)n.directory.size();
  if (attribute != DOS_ARCHIVE) header += ATTRIBUTE_EXT_SIZE;
  if (header > LEVEL2_HEADER_MAX) {
    *error = "'" + utf8 + "': the name is too long for a member header (" + std::to_string(header) +
             " bytes; at most " + std::to_string(LEVEL2_HEADER_MAX) + ")";
    return false;
  }
  *out = n;
  return true;
}

std::vector<uint8_t> BuildLevel2Header(const char* method, uint32_t packed_size, uint32_t unpacked_size,
                                       uint32_t mtime, uint8_t attribute, uint16_t data_crc,
                                       const StoredName& name, uint8_t os_id) {
  bool has_file = !name.file.empty() || name.path.empty() || name.path.back() != '/';
  std::vector<uint8_t> h;
  Put16(&h, 0);  // total length, set below
  h.insert(h.end(), method, method + 5);
  Put32(&h, packed_size);
  Put32(&h, unpacked_size);
  Put32(&h, mtime);
  h.push_back(DOS_ARCHIVE);
  h.push_back(2);
  Put16(&h, data_crc);
  h.push_back(os_id);
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
  if (os_id == 'U') {  // a symbolic link: its Unix mode, which readers take it by
    Put16(&h, EXT_OVERHEAD + 2);
    h.push_back(EXT_UNIX_MODE);
    Put16(&h, 0120777);
  }
  if (attribute != DOS_ARCHIVE) {
    Put16(&h, ATTRIBUTE_EXT_SIZE);
    h.push_back(EXT_ATTRIBUTE);
    Put16(&h, attribute);
  }
  Put16(&h, 0);
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

void EncodeMemberData(const uint8_t* data, size_t size, const PackMethod& method, char* method_name,
                      std::vector<uint8_t>* packed) {
  if (method.dict_bits > 0 && size > 0 &&
      CompressBlockHuffman(data, size, method.dict_bits, method.effort, packed)) {
    memcpy(method_name, MethodTable[MethodIndex(method)].name, 5);
    return;
  }
  memcpy(method_name, MethodTable[METHOD_LH0].name, 5);
  packed->assign(data, data + size);
}

namespace {

// A file read in pieces, its CRC-16 kept as it goes.
class FileSource : public ByteSource {
 public:
  FileSource(FILE* in, const ProgressHook* progress) : in_(in), progress_(progress) {}
  bool Read(uint8_t* buf, size_t n) override {
    if (n && fread(buf, 1, n, in_) != n) return false;
    if (*progress_ && n) (*progress_)(n, false);
    for (size_t done = 0; done < n;) {
      uint32_t piece = n - done > 0x40000000 ? 0x40000000u : (uint32_t)(n - done);
      crc_ = Crc16(crc_, buf + done, piece);
      done += piece;
    }
    return true;
  }
  uint16_t crc() const { return crc_; }

 private:
  FILE* in_;
  const ProgressHook* progress_;
  uint16_t crc_ = 0;
};

class FileSink : public ByteSink {
 public:
  explicit FileSink(FILE* out) : out_(out) {}
  bool Write(const uint8_t* data, size_t n) override { return fwrite(data, 1, n, out_) == n; }

 private:
  FILE* out_;
};

std::string WriteError() { return std::string("cannot write the output: ") + strerror(errno); }

// Writes one file member at the output's position: a header, the data
// compressed as it is read, and the header again with the sizes and CRC now
// known. When compression does not pay, the file is read again and stored.
bool WriteFileMember(FILE* out, const MemberSource& m, const StoredName& name, const PackMethod& method,
                     const ProgressHook& progress, uint64_t* written, std::string* error) {
  static const ProgressHook none;
  FILE* in = fopen(m.disk_path.c_str(), "rb");
  if (!in) {
    *error = "'" + m.disk_path + "': cannot be opened: " + strerror(errno);
    return false;
  }
  off_t header_at = ftello(out);
  const char* method_name = MethodTable[method.dict_bits > 0 ? MethodIndex(method) : METHOD_LH0].name;
  std::vector<uint8_t> header = BuildLevel2Header(method_name, 0, (uint32_t)m.size, m.mtime, m.attribute, 0, name);
  bool ok = fwrite(header.data(), 1, header.size(), out) == header.size();
  if (!ok) *error = WriteError();
  uint64_t packed = 0;
  CompressResult result = COMPRESS_NOT_SMALLER;
  FileSource source(in, &progress);
  if (ok && method.dict_bits > 0 && m.size > 0) {
    FileSink sink(out);
    result = CompressStream(&source, m.size, method.dict_bits, method.effort, &sink, &packed);
  }
  const char* changed = "': the file changed size while it was being packed";
  if (ok && result == COMPRESS_FAILED) {
    *error = ferror(out) ? WriteError() : "'" + m.disk_path + changed;
    ok = false;
  }
  // Bytes read a second time are not counted again.
  FileSource stored(in, result == COMPRESS_NOT_SMALLER && method.dict_bits > 0 && m.size > 0 ? &none : &progress);
  if (ok && result == COMPRESS_NOT_SMALLER) {
    method_name = MethodTable[METHOD_LH0].name;
    ok = fseeko(in, 0, SEEK_SET) == 0 && fseeko(out, header_at + (off_t)header.size(), SEEK_SET) == 0;
    uint8_t buf[1 << 16];
    for (uint64_t left = m.size; ok && left > 0;) {
      size_t n = left < sizeof buf ? (size_t)left : sizeof buf;
      if (!stored.Read(buf, n)) {
        *error = "'" + m.disk_path + changed;
        ok = false;
      } else if (fwrite(buf, 1, n, out) != n) {
        *error = WriteError();
        ok = false;
      }
      left -= n;
    }
    packed = m.size;
    // What compression wrote past the stored data goes.
    if (ok && (fflush(out) != 0 || ftruncate(fileno(out), ftello(out)) != 0)) {
      *error = WriteError();
      ok = false;
    }
  }
  if (ok && fgetc(in) != EOF) {
    *error = "'" + m.disk_path + changed;
    ok = false;
  }
  fclose(in);
  if (!ok) return false;
  uint16_t crc = result == COMPRESS_OK ? source.crc() : stored.crc();
  header = BuildLevel2Header(method_name, (uint32_t)packed, (uint32_t)m.size, m.mtime, m.attribute, crc, name);
  off_t end = ftello(out);
  if (fseeko(out, header_at, SEEK_SET) != 0 || fwrite(header.data(), 1, header.size(), out) != header.size() ||
      fseeko(out, end, SEEK_SET) != 0) {
    *error = WriteError();
    return false;
  }
  *written = header.size() + packed;
  return true;
}

}  // namespace

bool WriteArchive(FILE* out, uint64_t offset, const std::vector<MemberSource>& members,
                  const PackMethod& method, std::string* error, bool windows_names,
                  const ProgressHook& progress) {
  uint64_t total = offset;
  for (const MemberSource& m : members) {
    StoredName name;
    if (!MakeStoredName(m.name, m.directory, m.attribute, &name, error, windows_names, m.link_target)) return false;
    if (m.size > SIZE_LIMIT) {
      *error = "'" + m.name + "': a member of 4 GiB or more does not fit the 32-bit size fields";
      return false;
    }
    uint64_t written = 0;
    if (m.directory || !m.link_target.empty()) {
      // A symbolic link travels the way Unix archivers store it: an empty
      // "-lhd-" member named "link|target" from a Unix system.
      std::vector<uint8_t> header =
          BuildLevel2Header(MethodTable[METHOD_LHD].name, 0, 0, m.mtime, m.attribute, 0, name,
                            m.link_target.empty() ? OS_ID_MSDOS : 'U');
      if (fwrite(header.data(), 1, header.size(), out) != header.size()) {
        *error = WriteError();
        return false;
      }
      written = header.size();
    } else if (!WriteFileMember(out, m, name, method, progress, &written, error)) {
      return false;
    }
    total += written;
    if (progress) progress(0, true);
    if (total + 1 > SIZE_LIMIT) {
      *error = "the archive would be larger than 4 GiB, which its 32-bit sizes cannot describe";
      return false;
    }
  }
  if (fputc(0, out) == EOF) {
    *error = WriteError();
    return false;
  }
  return true;
}
