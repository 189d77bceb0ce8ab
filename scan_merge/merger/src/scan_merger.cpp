#include "scan_merge/scan_merger.h"

#include <sys/stat.h>

#include <pcl/PCLPointCloud2.h>
#include <pcl/common/io.h>
#include <pcl/console/print.h>
#include <pcl/io/pcd_io.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <locale>
#include <sstream>
#include <string>
#include <vector>

#include "pcd_header/pcd_header.h"
#include "safe_output/output_file.h"

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
  in.read(start.data(), static_cast<std::streamsize>(start.size()));
  return in && start == kMergedPrefix;
}

std::string unreadable(const std::string& path, const std::string& reason) {
  return "无法读取关键帧: " + path + (reason.empty() ? "" : " (" + reason + ")");
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
    // An entry named like a keyframe that cannot be followed (a dangling or looping link, a
    // directory on the way that cannot be searched) is a keyframe that cannot be read.
    if (::stat(it->path().c_str(), &st) != 0) {
      return unreadable(it->path().string(), std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) continue;
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

std::string field_mismatch(const std::string& path, const std::vector<pcl::PCLPointField>& got,
                           const std::string& first, const std::vector<pcl::PCLPointField>& want) {
  return "关键帧字段不一致: " + path + " 的字段为 [" + describe_fields(got) + "]，而 " + first +
         " 的字段为 [" + describe_fields(want) + "]";
}

// Reads every keyframe header: checks that they agree on their fields and counts the points,
// without loading any point data.
std::string read_headers(const std::string& scan_dir, const std::vector<std::string>& names,
                         std::vector<pcl::PCLPointField>* fields, std::vector<uint64_t>* counts,
                         uint64_t* total) {
  std::string first;
  for (const std::string& name : names) {
    const std::string path = keyframe_path(scan_dir, name);
    // Not PCL's header reader: it sets aside and zeroes a whole keyframe's points per header,
    // however many a damaged header claims, and misreads some headers it then reads points by.
    // The library reads a text value that is not a number as 0 or a partial number: the text
    // data is checked in the same read.
    pcd_header::TextFault fault;
    const pcd_header::PcdHeader header = pcd_header::read(path, &fault);
    if (!header.ok) return unreadable(path, header.reason);
    if (fault.line != 0) {
      return unreadable(
          path, "第 " + std::to_string(fault.line) + " 行的 \"" + fault.word + "\" 不是数字");
    }
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

std::string write_failure(const std::string& output_pcd, const std::string& reason) {
  return "无法写入输出文件: " + output_pcd + " (" + reason + ")";
}

// Appends each keyframe's packed point records, in merge order, after the header. One keyframe
// is in memory at a time; binary PCD data is exactly those records, so they go out as read.
std::string write_merged(const std::string& scan_dir, const std::vector<std::string>& names,
                         const std::vector<pcl::PCLPointField>& fields,
                         const std::vector<uint64_t>& counts, uint64_t total,
                         const std::string& output_pcd,
                         const std::function<void(double)>& on_progress) {
  if (output_pcd.empty()) return "无法写入输出文件: 路径为空";
  if (!fs::path(output_pcd).has_filename()) return write_failure(output_pcd, "不是文件路径");
  // The temporary name ends in ".part", so even inside the scan directory it is never a keyframe.
  safe_output::OutputFile out(output_pcd);
  std::string error = out.open();
  if (!error.empty()) return write_failure(output_pcd, error);
  const std::string header = binary_header(fields, total);
  error = out.write(header.data(), header.size());
  if (!error.empty()) return write_failure(output_pcd, error);

  // The library's reader opens each keyframe by name again: it takes only a path (and maps
  // binary data from it), and its stream-level pieces would have this code redo its read's steps.
  pcl::PCDReader reader;
  pcl::PCLPointCloud2 cloud;
  uint64_t done = 0;  // points written so far
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
    if (!error.empty()) return write_failure(output_pcd, error);
    done += n;
    if (on_progress && total > 0)
      on_progress(static_cast<double>(done) / static_cast<double>(total));
  }
  error = out.commit();
  return error.empty() ? "" : write_failure(output_pcd, error);
}

}  // namespace

MergeResult ScanMerger::merge(const std::string& scan_dir, const std::string& output_pcd,
                              const std::function<void(double)>& on_progress) {
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
    if (error.empty())
      error = write_merged(scan_dir, names, fields, counts, total, output_pcd, on_progress);
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
