#include "pcd_header/pcd_header.h"

#include <fcntl.h>
#include <pcl/common/io.h>
#include <sys/stat.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <limits>
#include <sstream>

namespace pcd_header {

namespace {

// PCD headers store WIDTH and POINTS as the library's 32-bit unsigned index.
constexpr uint64_t kMaxPoints = std::numeric_limits<uint32_t>::max();
// The longest header and header line read; a real header is a few hundred bytes.
constexpr uint64_t kMaxHeaderBytes = 1 << 20;
constexpr size_t kMaxLineBytes = 1 << 16;
// LZF, the library's compression, encodes at most 264 bytes in a 3-byte back reference.
constexpr uint64_t kMaxLzfRatio = 100;
// Far above any real point layout; keeps the size arithmetic below from overflowing.
constexpr uint64_t kMaxPointStep = 1 << 24;
constexpr uint64_t kMaxCount = 65536;

bool parse_count(const std::string& word, uint64_t* value) {
  if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  *value = std::strtoull(word.c_str(), nullptr, 10);
  return errno == 0;
}

PcdHeader refused(const std::string& reason) {
  PcdHeader header;
  header.reason = reason;
  return header;
}

// The lines of the header up to DATA, as words, before they are checked against each other.
struct RawHeader {
  std::vector<std::string> names;
  std::vector<std::string> sizes;
  std::vector<std::string> types;
  std::vector<std::string> counts;
  uint64_t width = 0;
  uint64_t height = 1;
  uint64_t points = 0;
  bool has_width = false;
  bool has_height = false;
  bool has_points = false;
  std::string data;          // the data kind; empty: no DATA line found
  uint64_t data_offset = 0;  // bytes of header read; where the points start once DATA is found
};

// The library's reader does not stop at DATA: it goes on over empty and comment lines, and takes
// a line that begins like one of its keys (it compares prefixes) as a header line that changes
// the layout it reads the points with. Returns the reason to refuse such a line after DATA, or "";
// `in` stands after the DATA line.
std::string key_after_data(std::istream& in) {
  static const char* const kKeys[] = {"VERSION", "FIELDS", "COLUMNS",   "SIZE",   "TYPE", "COUNT",
                                      "WIDTH",   "HEIGHT", "VIEWPOINT", "POINTS", "DATA"};
  std::vector<char> buffer(kMaxLineBytes);
  for (uint64_t read = 0; read <= kMaxHeaderBytes;) {
    in.getline(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto n = static_cast<size_t>(in.gcount());
    if (n == 0) return "";  // the end of the file
    read += n;
    const bool cut = in.fail();  // longer than the buffer: the rest of the line is unread
    const size_t length = cut || in.eof() ? n : n - 1;
    if (length == 0) continue;
    const char* line = buffer.data();
    if (line[0] != '#') {
      for (const char* key : kKeys) {
        if (length >= std::strlen(key) && std::memcmp(line, key, std::strlen(key)) == 0) {
          return std::string("DATA 行之后还有头部行 ") + key;
        }
      }
      return "";
    }
    if (cut) {
      in.clear();
      in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
  }
  return "DATA 行之后的空行或注释行过多";
}

// Reads the header lines of `in` into `raw`, stopping after the DATA line as the library's
// reader does. Returns the reason a line is refused, or "".
std::string read_lines(std::istream& in, RawHeader* raw) {
  std::vector<char> buffer(kMaxLineBytes);
  while (raw->data.empty()) {
    // A line too long, or no DATA line early in the file: not a PCD header.
    if (raw->data_offset > kMaxHeaderBytes || !in.getline(buffer.data(), buffer.size())) break;
    const auto read = static_cast<size_t>(in.gcount());
    raw->data_offset += read;
    // gcount() counts the newline when one ended the line.
    const std::string text(buffer.data(), in.eof() ? read : read - 1);
    // The library's reader keeps a NUL byte as a character of its line: to it such a line is
    // neither empty nor a key it knows, and it crashes on it.
    if (text.find('\0') != std::string::npos) return "头部行含有 NUL 字节";
    if (text.empty()) continue;
    std::istringstream line(text);
    std::string key;
    // The library's reader ends its header at the first line that is neither empty, a comment
    // nor a key it knows (a line of blanks included) and then takes the header itself for text
    // points: such a file would come out as points of zeros, or crash the reader outright.
    if (!(line >> key)) return "头部含有空白行";
    if (key[0] == '#') continue;
    std::vector<std::string> words;
    for (std::string w; line >> w;) words.push_back(w);
    const std::string first = words.empty() ? "" : words.front();
    bool ok = true;
    if (key == "FIELDS" || key == "COLUMNS") {
      raw->names = words;
    } else if (key == "SIZE") {
      raw->sizes = words;
    } else if (key == "TYPE") {
      raw->types = words;
    } else if (key == "COUNT") {
      raw->counts = words;
    } else if (key == "WIDTH") {
      ok = raw->has_width = parse_count(first, &raw->width);
    } else if (key == "HEIGHT") {
      ok = raw->has_height = parse_count(first, &raw->height);
    } else if (key == "POINTS") {
      ok = raw->has_points = parse_count(first, &raw->points);
    } else if (key == "DATA") {
      raw->data = first;
      if (raw->data.empty()) return "DATA 行无效";
    } else if (key != "VERSION" && key != "VIEWPOINT") {
      return "未知的头部行 " + key;
    }
    if (!ok) return key + " 行无效";
  }
  if (raw->data.empty()) return "";
  return key_after_data(in);
}

// Types the fields of `raw` and lays them out in one packed record. Returns the reason a field
// is refused, or "".
std::string lay_out_fields(const RawHeader& raw, PcdHeader* header, uint64_t* values) {
  for (size_t k = 0; k < raw.names.size(); ++k) {
    uint64_t size = 0;
    uint64_t count = 1;
    if (!parse_count(raw.sizes[k], &size) || raw.types[k].size() != 1 ||
        (!raw.counts.empty() &&
         (!parse_count(raw.counts[k], &count) || count == 0 || count > kMaxCount))) {
      return "字段 " + raw.names[k] + " 的描述无效";
    }
    const int datatype =
        pcl::getFieldType(static_cast<int>(std::min<uint64_t>(size, 64)), raw.types[k][0]);
    if (datatype < 0) return "字段 " + raw.names[k] + " 的类型无法识别";
    pcl::PCLPointField f;
    f.name = raw.names[k];
    f.offset = static_cast<pcl::uindex_t>(header->point_step);
    f.datatype = static_cast<uint8_t>(datatype);
    f.count = static_cast<pcl::uindex_t>(count);
    header->fields.push_back(f);
    header->point_step += size * count;
    *values += count;
    if (header->point_step > kMaxPointStep) return "字段过多";
  }
  return "";
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_lower(const char* p, const char* end, const char* word) {
  for (; p < end && *word != '\0'; ++p, ++word) {
    if ((*p | 0x20) != *word) return false;
  }
  return p == end && *word == '\0';
}

// Whether [p, end) is a number as read() describes it.
bool is_number(const char* p, const char* end) {
  if (p < end && (*p == '+' || *p == '-')) ++p;
  if (equals_lower(p, end, "nan") || equals_lower(p, end, "inf") ||
      equals_lower(p, end, "infinity")) {
    return true;
  }
  const char* const start = p;
  while (p < end && is_digit(*p)) ++p;
  bool digits = p > start;
  if (p < end && *p == '.') {
    const char* const fraction = ++p;
    while (p < end && is_digit(*p)) ++p;
    digits = digits || p > fraction;
  }
  if (!digits) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return false;
    while (p < end && is_digit(*p)) ++p;
  }
  return p == end;
}

// The blanks the library trims from a text line and the separators it splits it at.
bool is_trimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The first text value of `in`'s points that is not a number, as read() describes it; `in` is
// the whole file, read from its start.
TextFault first_text_fault(std::istream& in, const PcdHeader& header) {
  TextFault fault;
  uint64_t values = 0;
  for (const pcl::PCLPointField& f : header.fields) values += f.count;
  in.clear();
  in.seekg(0);
  std::string line;
  uint64_t line_number = 0;
  // The header's own lines, counted so that the fault names the line of the file.
  for (uint64_t read = 0; read < header.data_offset && std::getline(in, line); ++line_number) {
    read += line.size() + 1;
  }
  for (uint64_t points = 0; points < header.points && std::getline(in, line);) {
    ++line_number;
    if (line.empty()) continue;
    ++points;
    const char* p = line.data();
    const char* end = p + line.size();
    while (p < end && is_trimmed(*p)) ++p;
    while (end > p && is_trimmed(end[-1])) --end;
    for (uint64_t k = 0; k < values; ++k) {
      const char* word = p;
      while (p < end && !is_separator(*p)) ++p;
      if (!is_number(word, p)) {
        fault.line = line_number;
        fault.word.assign(word, std::min<size_t>(static_cast<size_t>(p - word), 40));
        return fault;
      }
      if (p == end) break;  // too few words: the library's read fails on its own
      while (p < end && is_separator(*p)) ++p;
    }
  }
  return fault;
}

// Checks the header of the file `in` reads, `file_size` bytes long, as read() describes it.
PcdHeader read_header(std::istream& in, uint64_t file_size) {
  RawHeader raw;
  std::string reason = read_lines(in, &raw);
  if (!reason.empty()) return refused(reason);
  if (raw.data.empty()) return refused("不是 PCD 文件");
  if (raw.names.empty()) return refused("没有字段");
  if (raw.sizes.size() != raw.names.size() || raw.types.size() != raw.names.size() ||
      (!raw.counts.empty() && raw.counts.size() != raw.names.size())) {
    return refused("FIELDS、SIZE、TYPE、COUNT 的项数不一致");
  }
  if (!raw.has_width) {
    // Old (v0.5) files give POINTS alone; the library takes them as one row.
    if (raw.has_height || !raw.has_points) return refused("缺少 WIDTH");
    raw.width = raw.points;
  }
  if (raw.width > kMaxPoints || raw.height > kMaxPoints || raw.width * raw.height > kMaxPoints) {
    return refused("点数过多");
  }
  if (raw.has_points && raw.points != raw.width * raw.height) {
    return refused("POINTS 与 WIDTH × HEIGHT 不符");
  }

  PcdHeader header;
  header.points = raw.width * raw.height;
  header.data_offset = raw.data_offset;
  uint64_t values = 0;  // values of one point, each a word of its own in text data
  reason = lay_out_fields(raw, &header, &values);
  if (!reason.empty()) return refused(reason);

  const uint64_t body = file_size - std::min<uint64_t>(file_size, raw.data_offset);
  const uint64_t bytes = header.points * header.point_step;
  bool fits = false;
  if (raw.data == "binary") {
    header.data = DataKind::kBinary;
    fits = body >= bytes;
  } else if (raw.data == "ascii") {
    header.data = DataKind::kAscii;
    // Every value takes at least one character and one separator.
    fits = body + 1 >= 2 * header.points * values;
  } else if (raw.data == "binary_compressed") {
    header.data = DataKind::kBinaryCompressed;
    uint32_t sizes[2] = {0, 0};  // compressed, then uncompressed bytes
    in.clear();
    in.seekg(static_cast<std::streamoff>(raw.data_offset));
    in.read(reinterpret_cast<char*>(sizes), sizeof(sizes));
    fits = bytes == 0 || (in && sizes[1] == bytes && uint64_t{sizes[0]} + 8 <= body &&
                          bytes <= kMaxLzfRatio * sizes[0]);
  } else {
    return refused("未知的 DATA 格式 " + raw.data);
  }
  if (!fits) return refused("文件比头部声明的点数短");
  header.ok = true;
  return header;
}

}  // namespace

PcdHeader read(const std::string& path, TextFault* text_fault) {
  if (text_fault != nullptr) *text_fault = TextFault();
  // Opened once, and judged and read through that one descriptor, so that what is checked is
  // what is read. O_NONBLOCK lets the open of a FIFO without a writer return at once; a regular
  // file ignores it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    // Some kinds cannot be opened at all (a socket), or not by this user (a FIFO without read
    // permission): they are refused as what they are, not for the failed open.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return refused(kNotRegularFile);
    return refused(std::strerror(error));
  }
  // The buffer owns the descriptor from here on and closes it.
  __gnu_cxx::stdio_filebuf<char> file(fd, std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    ::close(fd);
    return refused(std::strerror(errno));
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return refused(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return refused(kNotRegularFile);
  std::istream in(&file);
  PcdHeader header = read_header(in, static_cast<uint64_t>(st.st_size));
  if (text_fault != nullptr && header.ok && header.data == DataKind::kAscii) {
    *text_fault = first_text_fault(in, header);
  }
  return header;
}

}  // namespace pcd_header
