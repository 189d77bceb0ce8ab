#include "scan_merge/scan_merger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pcl/PCLPointCloud2.h>
#include <pcl/common/io.h>
#include <pcl/console/print.h>
#include <pcl/io/pcd_io.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

namespace scan2fullpcd {

namespace {

namespace fs = std::filesystem;

// PCD headers store WIDTH and POINTS as PCL's 32-bit unsigned index; a merged cloud larger
// than that could not be read back by anyone.
constexpr uint64_t kMaxPoints = std::numeric_limits<uint32_t>::max();

// The first lines of every merged cloud. The second, a PCD comment, tells a merge result found
// among the keyframes from a keyframe.
constexpr char kMergedPrefix[] =
    "# .PCD v0.7 - Point Cloud Data file format\n# merged keyframes (libscanmerge)\n";

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Natural order: runs of digits compare by value, everything else byte by byte, so the
// keyframes a mapping run numbers 0.pcd, 1.pcd, ... 10.pcd come back in the order they were
// saved. Names equal under that rule ("01.pcd", "1.pcd") fall back to byte order, so the order
// never depends on the directory listing.
bool natural_less(const std::string& a, const std::string& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (is_digit(a[i]) && is_digit(b[j])) {
      size_t ie = i;
      size_t je = j;
      while (ie < a.size() && is_digit(a[ie])) ++ie;
      while (je < b.size() && is_digit(b[je])) ++je;
      size_t ia = i;
      size_t jb = j;
      while (ia + 1 < ie && a[ia] == '0') ++ia;
      while (jb + 1 < je && b[jb] == '0') ++jb;
      const size_t la = ie - ia;
      const size_t lb = je - jb;
      if (la != lb) return la < lb;
      const int c = a.compare(ia, la, b, jb, lb);
      if (c != 0) return c < 0;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) {
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      }
      ++i;
      ++j;
    }
  }
  if (i < a.size() || j < b.size()) return j < b.size();
  return a < b;
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// PCL reports its read errors on standard error; the merge reports through its record only.
class QuietPcl {
 public:
  QuietPcl() : saved_(pcl::console::getVerbosityLevel()) {
    pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS);
  }
  ~QuietPcl() { pcl::console::setVerbosityLevel(saved_); }
  QuietPcl(const QuietPcl&) = delete;
  QuietPcl& operator=(const QuietPcl&) = delete;

 private:
  pcl::console::VERBOSITY_LEVEL saved_;
};

// One field as a user reads it in an error text: name:TYPE SIZE, with [count] when not 1.
std::string describe_fields(const std::vector<pcl::PCLPointField>& fields) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  for (size_t k = 0; k < fields.size(); ++k) {
    const pcl::PCLPointField& f = fields[k];
    if (k > 0) out << ' ';
    out << f.name << ':' << pcl::getFieldType(f.datatype) << pcl::getFieldSize(f.datatype);
    if (f.count != 1) out << '[' << f.count << ']';
  }
  return out.str();
}

bool same_fields(const std::vector<pcl::PCLPointField>& a,
                 const std::vector<pcl::PCLPointField>& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    if (a[k].name != b[k].name || a[k].datatype != b[k].datatype || a[k].count != b[k].count) {
      return false;
    }
  }
  return true;
}

// The binary PCD header of the merged cloud: the keyframes' fields, one unorganised row of
// `points` points, and the identity viewpoint, since the keyframes already share one frame.
std::string binary_header(const std::vector<pcl::PCLPointField>& fields, uint64_t points) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << kMergedPrefix << "VERSION 0.7\nFIELDS";
  for (const pcl::PCLPointField& f : fields) out << ' ' << f.name;
  out << "\nSIZE";
  for (const pcl::PCLPointField& f : fields) out << ' ' << pcl::getFieldSize(f.datatype);
  out << "\nTYPE";
  for (const pcl::PCLPointField& f : fields) out << ' ' << pcl::getFieldType(f.datatype);
  out << "\nCOUNT";
  for (const pcl::PCLPointField& f : fields) out << ' ' << f.count;
  out << "\nWIDTH " << points << "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " << points
      << "\nDATA binary\n";
  return out.str();
}

// Whether `path` starts the way every merged cloud does.
bool is_merge_result(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string start(std::strlen(kMergedPrefix), '\0');
  in.read(&start[0], static_cast<std::streamsize>(start.size()));
  return in && start == kMergedPrefix;
}

// Finds the keyframes of `scan_dir` in merge order. The file at `output_pcd`, when it lies
// there, is left out if it is an earlier merge result; if it is anything else it is a keyframe
// that the merge would overwrite, and the merge is refused.
std::string list_keyframes(const std::string& scan_dir, const std::string& output_pcd,
                           std::vector<std::string>* names) {
  std::error_code ec;
  const fs::file_status status = fs::status(scan_dir, ec);
  if (ec && status.type() != fs::file_type::not_found) {
    return "无法读取扫描目录: " + scan_dir + " (" + ec.message() + ")";
  }
  if (!fs::exists(status)) return "扫描目录不存在: " + scan_dir;
  if (!fs::is_directory(status)) return "扫描路径不是目录: " + scan_dir;

  struct stat out_st {};
  const bool output_exists = ::stat(output_pcd.c_str(), &out_st) == 0;

  fs::directory_iterator it(scan_dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!ends_with(name, ".pcd")) continue;
    struct stat st {};
    if (::stat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (output_exists && st.st_dev == out_st.st_dev && st.st_ino == out_st.st_ino) {
      if (is_merge_result(it->path().string())) continue;
      return "输出文件是扫描目录中的关键帧，合并会覆盖它: " + output_pcd;
    }
    names->push_back(name);
  }
  if (ec) return "无法读取扫描目录: " + scan_dir + " (" + ec.message() + ")";
  if (names->empty()) return "扫描目录中没有关键帧 (.pcd 文件): " + scan_dir;
  if (names->size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    return "扫描目录中的关键帧过多: " + scan_dir;
  }
  std::sort(names->begin(), names->end(), natural_less);
  return "";
}

std::string keyframe_path(const std::string& scan_dir, const std::string& name) {
  return (fs::path(scan_dir) / name).string();
}

std::string unreadable(const std::string& path, const std::string& reason) {
  return "无法读取关键帧: " + path + (reason.empty() ? "" : " (" + reason + ")");
}

std::string field_mismatch(const std::string& path, const std::vector<pcl::PCLPointField>& got,
                           const std::string& first, const std::vector<pcl::PCLPointField>& want) {
  return "关键帧字段不一致: " + path + " 的字段为 [" + describe_fields(got) + "]，而 " + first +
         " 的字段为 [" + describe_fields(want) + "]";
}

// What the merge needs of a keyframe before reading its points.
struct KeyframeHeader {
  std::vector<pcl::PCLPointField> fields;
  uint64_t points = 0;
  uint64_t point_step = 0;  // bytes of one packed record
};

// The longest header and header line read; a real header is a few hundred bytes.
constexpr uint64_t kMaxHeaderBytes = 1 << 20;
constexpr size_t kMaxLineBytes = 1 << 16;
// LZF, PCL's compression, encodes at most 264 bytes in a 3-byte back reference.
constexpr uint64_t kMaxLzfRatio = 100;
// Far above any real point layout; keeps the size arithmetic below from overflowing.
constexpr uint64_t kMaxPointStep = 1 << 24;

bool parse_count(const std::string& word, uint64_t* value) {
  if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  *value = std::strtoull(word.c_str(), nullptr, 10);
  return errno == 0;
}

// Reads a keyframe's PCD header by hand. PCL's own header reader also sizes the point buffer
// and fills it with zeros, which would cost a whole keyframe of memory and time per header and
// lets a damaged header claiming billions of points exhaust memory before anything is checked.
// Also checks that the file is large enough for the points it claims, so the point read that
// follows allocates no more than the keyframe really holds. Returns the reason it cannot be
// read, or "".
std::string read_header(const std::string& path, KeyframeHeader* header) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::strerror(errno);
  const uint64_t file_size = static_cast<uint64_t>(in.tellg());
  in.seekg(0);

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
  std::string data;
  uint64_t data_offset = 0;  // bytes of header read so far; where the points start at the end
  std::vector<char> buffer(kMaxLineBytes);
  while (data.empty()) {
    // A line too long, or no DATA line early in the file: not a PCD header.
    if (data_offset > kMaxHeaderBytes || !in.getline(buffer.data(), buffer.size())) break;
    data_offset += static_cast<uint64_t>(in.gcount());
    const std::string text(buffer.data());
    if (text.empty()) continue;
    std::istringstream line(text);
    std::string key;
    // PCL's reader ends its header at the first line that is neither empty, a comment nor a
    // key it knows (a line of blanks included) and then takes the header itself for ASCII
    // points: such a keyframe would come out as points of zeros, or crash PCL outright.
    if (!(line >> key)) return "头部含有空白行";
    if (key[0] == '#') continue;
    std::vector<std::string> words;
    for (std::string w; line >> w;) words.push_back(w);
    const std::string first = words.empty() ? "" : words.front();
    bool ok = true;
    if (key == "FIELDS" || key == "COLUMNS") {
      names = words;
    } else if (key == "SIZE") {
      sizes = words;
    } else if (key == "TYPE") {
      types = words;
    } else if (key == "COUNT") {
      counts = words;
    } else if (key == "WIDTH") {
      ok = has_width = parse_count(first, &width);
    } else if (key == "HEIGHT") {
      ok = has_height = parse_count(first, &height);
    } else if (key == "POINTS") {
      ok = has_points = parse_count(first, &points);
    } else if (key == "DATA") {
      data = first;
      if (data.empty()) return "DATA 行无效";
    } else if (key != "VERSION" && key != "VIEWPOINT") {
      return "未知的头部行 " + key;
    }
    if (!ok) return key + " 行无效";
  }
  if (data.empty()) return "不是 PCD 文件";
  if (names.empty()) return "没有字段";
  if (sizes.size() != names.size() || types.size() != names.size() ||
      (!counts.empty() && counts.size() != names.size())) {
    return "FIELDS、SIZE、TYPE、COUNT 的项数不一致";
  }
  if (!has_width) {
    // Old (v0.5) files give POINTS alone; PCL takes them as one row.
    if (has_height || !has_points) return "缺少 WIDTH";
    width = points;
  }
  if (width > kMaxPoints || height > kMaxPoints || width * height > kMaxPoints) {
    return "点数过多";
  }
  if (has_points && points != width * height) return "POINTS 与 WIDTH × HEIGHT 不符";

  header->fields.clear();
  header->points = width * height;
  header->point_step = 0;
  uint64_t values = 0;
  for (size_t k = 0; k < names.size(); ++k) {
    uint64_t size = 0;
    uint64_t count = 1;
    if (!parse_count(sizes[k], &size) || types[k].size() != 1 ||
        (!counts.empty() && (!parse_count(counts[k], &count) || count == 0 || count > 65536))) {
      return "字段 " + names[k] + " 的描述无效";
    }
    const int datatype =
        pcl::getFieldType(static_cast<int>(std::min<uint64_t>(size, 64)), types[k][0]);
    if (datatype < 0) return "字段 " + names[k] + " 的类型无法识别";
    pcl::PCLPointField f;
    f.name = names[k];
    f.offset = static_cast<pcl::uindex_t>(header->point_step);
    f.datatype = static_cast<uint8_t>(datatype);
    f.count = static_cast<pcl::uindex_t>(count);
    header->fields.push_back(f);
    header->point_step += size * count;
    values += count;
    if (header->point_step > kMaxPointStep) return "字段过多";
  }

  const uint64_t body = file_size - std::min<uint64_t>(file_size, data_offset);
  const uint64_t bytes = header->points * header->point_step;
  bool fits = false;
  if (data == "binary") {
    fits = body >= bytes;
  } else if (data == "ascii") {
    // Every value takes at least one character and one separator.
    fits = body + 1 >= 2 * header->points * values;
  } else if (data == "binary_compressed") {
    uint32_t sizes_field[2] = {0, 0};
    in.clear();
    in.seekg(static_cast<std::streamoff>(data_offset));
    in.read(reinterpret_cast<char*>(sizes_field), sizeof(sizes_field));
    fits = bytes == 0 || (in && sizes_field[1] == bytes && uint64_t{sizes_field[0]} + 8 <= body &&
                          bytes <= kMaxLzfRatio * sizes_field[0]);
  } else {
    return "未知的 DATA 格式 " + data;
  }
  if (!fits) return "文件比头部声明的点数短";
  return "";
}

// Reads every keyframe header: checks that they agree on their fields and counts the points,
// without loading any point data.
std::string read_headers(const std::string& scan_dir, const std::vector<std::string>& names,
                         std::vector<pcl::PCLPointField>* fields, std::vector<uint64_t>* counts,
                         uint64_t* total) {
  std::string first;
  for (const std::string& name : names) {
    const std::string path = keyframe_path(scan_dir, name);
    KeyframeHeader header;
    const std::string reason = read_header(path, &header);
    if (!reason.empty()) return unreadable(path, reason);
    if (first.empty()) {
      first = path;
      *fields = header.fields;
    } else if (!same_fields(header.fields, *fields)) {
      return field_mismatch(path, header.fields, first, *fields);
    }
    counts->push_back(header.points);
    *total += header.points;
    if (*total > kMaxPoints) {
      return "关键帧点数合计超出单个 PCD 文件的上限 " + std::to_string(kMaxPoints) + ": " +
             scan_dir;
    }
  }
  return "";
}

// The merged file while it is being written: a hidden temporary beside the target, removed
// again unless commit() renamed it over the target.
class PartFile {
 public:
  explicit PartFile(const std::string& target) : target_(target) {}
  ~PartFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }
  PartFile(const PartFile&) = delete;
  PartFile& operator=(const PartFile&) = delete;

  std::string open() {
    const fs::path target(target_);
    if (target_.empty()) return "无法写入输出文件: 路径为空";
    if (!target.has_filename()) return failure("不是文件路径");
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string stem = "." + target.filename().string() + "." + std::to_string(::getpid());
    // The name ends in ".part", so even inside the scan directory it is never a keyframe.
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string candidate =
          (dir / (stem + "." + std::to_string(attempt) + ".part")).string();
      fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ >= 0) {
        temp_ = candidate;
        return "";
      }
      if (errno != EEXIST) return failure(std::strerror(errno));
    }
    return failure(std::strerror(EEXIST));
  }

  std::string write(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::write(fd_, p, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return failure(std::strerror(errno));
      }
      p += n;
      size -= static_cast<size_t>(n);
    }
    return "";
  }

  // Makes the file durable before it takes the target's name, so the target is either the
  // old file or the complete new one.
  std::string commit() {
    if (::fsync(fd_) != 0) return failure(std::strerror(errno));
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) return failure(std::strerror(errno));
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return failure(std::strerror(errno));
    temp_.clear();
    return "";
  }

 private:
  std::string failure(const std::string& reason) const {
    return "无法写入输出文件: " + target_ + " (" + reason + ")";
  }

  std::string target_;
  std::string temp_;  // empty: nothing of ours to remove
  int fd_ = -1;
};

// Appends each keyframe's packed point records, in merge order, after the header. One keyframe
// is in memory at a time; binary PCD data is exactly those records, so they go out as read.
std::string write_merged(const std::string& scan_dir, const std::vector<std::string>& names,
                         const std::vector<pcl::PCLPointField>& fields,
                         const std::vector<uint64_t>& counts, uint64_t total,
                         const std::string& output_pcd) {
  PartFile out(output_pcd);
  std::string error = out.open();
  if (!error.empty()) return error;
  const std::string header = binary_header(fields, total);
  error = out.write(header.data(), header.size());
  if (!error.empty()) return error;

  pcl::PCDReader reader;
  pcl::PCLPointCloud2 cloud;
  for (size_t k = 0; k < names.size(); ++k) {
    const std::string path = keyframe_path(scan_dir, names[k]);
    try {
      if (reader.read(path, cloud) < 0) return unreadable(path, "");
    } catch (const std::exception& e) {  // std::bad_alloc included: report it, do not crash
      return unreadable(path, e.what());
    }
    // The header already promised these points; a keyframe replaced since then must not
    // slip in with another layout or count.
    const uint64_t n = static_cast<uint64_t>(cloud.width) * cloud.height;
    if (!same_fields(cloud.fields, fields) || n != counts[k] ||
        cloud.data.size() != n * cloud.point_step) {
      return "关键帧在合并过程中被修改: " + path;
    }
    error = out.write(cloud.data.data(), cloud.data.size());
    if (!error.empty()) return error;
  }
  return out.commit();
}

}  // namespace

MergeResult ScanMerger::merge(const std::string& scan_dir, const std::string& output_pcd) {
  MergeResult result;
  result.input_scan_dir = scan_dir;
  const QuietPcl quiet;

  std::vector<std::string> names;
  std::vector<pcl::PCLPointField> fields;
  std::vector<uint64_t> counts;
  uint64_t total = 0;
  std::string error;
  try {
    error = list_keyframes(scan_dir, output_pcd, &names);
    if (error.empty()) error = read_headers(scan_dir, names, &fields, &counts, &total);
    if (error.empty()) error = write_merged(scan_dir, names, fields, counts, total, output_pcd);
  } catch (const std::exception& e) {
    error = "合并失败: " + scan_dir + " (" + e.what() + ")";
  }
  if (!error.empty()) {
    result.error_message = error;
    return result;
  }
  result.success = true;
  result.output_pcd = output_pcd;
  result.keyframe_count = static_cast<int32_t>(names.size());
  result.total_points = total;
  return result;
}

}  // namespace scan2fullpcd
