#include "scan_merge/scan_merger.h"

#include <gtest/gtest.h>
#include <pcl/PCLPointCloud2.h>
#include <pcl/io/pcd_io.h>
#include <pcl/point_types.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "testing/output_paths.h"
#include "testing/pcd_cloud.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using scan2fullpcd::MergeResult;
using scan2fullpcd::ScanMerger;

using drone_test::PcdEncoding;
using Field = drone_test::PcdField;

const std::vector<Field> kXyzi = {{"x", pcl::PCLPointField::FLOAT32, 1},
                                  {"y", pcl::PCLPointField::FLOAT32, 1},
                                  {"z", pcl::PCLPointField::FLOAT32, 1},
                                  {"intensity", pcl::PCLPointField::FLOAT32, 1}};

// What a lidar mapping run saves beyond x y z intensity: a ring number, a per-point time and a
// small descriptor, so the merge has fields of several types and counts to keep.
const std::vector<Field> kRich = {
    {"x", pcl::PCLPointField::FLOAT32, 1},   {"y", pcl::PCLPointField::FLOAT32, 1},
    {"z", pcl::PCLPointField::FLOAT32, 1},   {"intensity", pcl::PCLPointField::FLOAT32, 1},
    {"ring", pcl::PCLPointField::UINT16, 1}, {"timestamp", pcl::PCLPointField::FLOAT64, 1},
    {"label", pcl::PCLPointField::INT32, 1}, {"desc", pcl::PCLPointField::FLOAT32, 3}};

template <class T>
void put(std::vector<uint8_t>* data, size_t at, T value) {
  std::memcpy(data->data() + at, &value, sizeof(T));
}

// A keyframe whose every value is `base + point + element / 4`, exact in every type used, so
// a merged cloud shows which keyframe and which point each record came from.
pcl::PCLPointCloud2 make_cloud(const std::vector<Field>& fields, uint32_t points, int base) {
  pcl::PCLPointCloud2 cloud = drone_test::cloud_layout(fields, points);
  const uint32_t offset = cloud.point_step;
  for (uint32_t p = 0; p < points; ++p) {
    for (const pcl::PCLPointField& f : cloud.fields) {
      for (uint32_t c = 0; c < f.count; ++c) {
        const double v = base + p + c / 4.0;
        const size_t at = p * offset + f.offset + c * pcl::getFieldSize(f.datatype);
        switch (f.datatype) {
          case pcl::PCLPointField::FLOAT32:
            put(&cloud.data, at, static_cast<float>(v));
            break;
          case pcl::PCLPointField::FLOAT64:
            put(&cloud.data, at, v);
            break;
          case pcl::PCLPointField::UINT16:
            put(&cloud.data, at, static_cast<uint16_t>(v));
            break;
          case pcl::PCLPointField::INT32:
            put(&cloud.data, at, static_cast<int32_t>(v));
            break;
          case pcl::PCLPointField::UINT8:
            put(&cloud.data, at, static_cast<uint8_t>(v));
            break;
          default:
            ADD_FAILURE() << "no writer for datatype " << int(f.datatype);
        }
      }
    }
  }
  return cloud;
}

void write_keyframe(const std::string& path, const pcl::PCLPointCloud2& cloud,
                    PcdEncoding encoding = PcdEncoding::kBinary) {
  ASSERT_EQ(drone_test::write_pcd(path, cloud, encoding), 0) << path;
}

pcl::PCLPointCloud2 read_cloud(const std::string& path) {
  pcl::PCLPointCloud2 cloud;
  pcl::PCDReader reader;
  EXPECT_EQ(reader.read(path, cloud), 0) << path;
  return cloud;
}

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void expect_failure(const MergeResult& r, const std::string& scan_dir) {
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.input_scan_dir, scan_dir);
  EXPECT_EQ(r.output_pcd, "");
  EXPECT_EQ(r.keyframe_count, 0);
  EXPECT_EQ(r.total_points, 0u);
}

TEST(ScanMerger, MergesInNaturalNameOrderAndIgnoresOtherEntries) {
  struct Case {
    std::vector<std::string> created;  // in creation order; keyframe k holds base 1000 * k
    std::vector<std::string> merged;   // expected merge order
  };
  const std::vector<Case> cases = {
      {{"10.pcd", "2.pcd", "1.pcd", "100.pcd", "9.pcd"},
       {"1.pcd", "2.pcd", "9.pcd", "10.pcd", "100.pcd"}},
      {{"kf_10.pcd", "kf_2.pcd", "kf_1.pcd", "a_5.pcd"},
       {"a_5.pcd", "kf_1.pcd", "kf_2.pcd", "kf_10.pcd"}},
      {{"0010.pcd", "9.pcd", "010.pcd", "scan2_7.pcd", "scan10_1.pcd"},
       {"9.pcd", "0010.pcd", "010.pcd", "scan2_7.pcd", "scan10_1.pcd"}},
  };
  for (const Case& c : cases) {
    drone_test::TempDir dir;
    const std::string scan = dir.file("scan");
    fs::create_directory(scan);
    for (size_t k = 0; k < c.created.size(); ++k) {
      write_keyframe(scan + "/" + c.created[k], make_cloud(kXyzi, 3, 1000 * int(k)));
    }
    // Not keyframes: other suffixes, a directory named like one, a keyframe one level down.
    drone_test::write_file(scan + "/notes.txt", "x");
    drone_test::write_file(scan + "/1.pcd.bak", "x");
    drone_test::write_file(scan + "/3.PCD", "x");
    fs::create_directory(scan + "/5.pcd");
    write_keyframe(scan + "/5.pcd/6.pcd", make_cloud(kXyzi, 3, 0));

    const MergeResult r = ScanMerger::merge(scan, dir.file("out.pcd"));
    ASSERT_TRUE(r.success) << r.error_message;
    EXPECT_EQ(r.error_message, "");
    EXPECT_EQ(r.input_scan_dir, scan);
    EXPECT_EQ(r.output_pcd, dir.file("out.pcd"));
    EXPECT_EQ(r.keyframe_count, static_cast<int32_t>(c.created.size()));
    EXPECT_EQ(r.total_points, 3u * c.created.size());

    std::vector<uint8_t> expected;
    for (const std::string& name : c.merged) {
      const size_t k = std::find(c.created.begin(), c.created.end(), name) - c.created.begin();
      const pcl::PCLPointCloud2 kf = make_cloud(kXyzi, 3, 1000 * int(k));
      expected.insert(expected.end(), kf.data.begin(), kf.data.end());
    }
    const pcl::PCLPointCloud2 merged = read_cloud(dir.file("out.pcd"));
    EXPECT_EQ(merged.data, expected) << c.created.front();
  }
}

TEST(ScanMerger, ReportsTheShareOfPointsWrittenAfterEachKeyframe) {
  drone_test::TempDir dir;
  const std::string scan = dir.file("scan");
  fs::create_directory(scan);
  const uint32_t sizes[] = {1, 3, 4};
  for (int k = 0; k < 3; ++k) {
    write_keyframe(scan + "/" + std::to_string(k) + ".pcd", make_cloud(kXyzi, sizes[k], k));
  }
  std::vector<double> fractions;
  const MergeResult r = ScanMerger::merge(scan, dir.file("out.pcd"),
                                          [&fractions](double f) { fractions.push_back(f); });
  ASSERT_TRUE(r.success) << r.error_message;
  EXPECT_EQ(fractions, (std::vector<double>{1.0 / 8, 4.0 / 8, 1.0}));
}

TEST(ScanMerger, KeepsEveryFieldWhateverTheKeyframeEncoding) {
  drone_test::TempDir dir;
  write_keyframe(dir.file("0.pcd"), make_cloud(kRich, 4, 0), PcdEncoding::kAscii);
  write_keyframe(dir.file("1.pcd"), make_cloud(kRich, 5, 100), PcdEncoding::kBinary);
  write_keyframe(dir.file("2.pcd"), make_cloud(kRich, 6, 200), PcdEncoding::kCompressed);
  write_keyframe(dir.file("3.pcd"), make_cloud(kRich, 0, 300), PcdEncoding::kBinary);
  const std::string out = dir.file("merged/full.pcd");
  fs::create_directory(dir.file("merged"));

  const MergeResult r = ScanMerger::merge(dir.path(), out);
  ASSERT_TRUE(r.success) << r.error_message;
  EXPECT_EQ(r.keyframe_count, 4);
  EXPECT_EQ(r.total_points, 15u);

  const pcl::PCLPointCloud2 merged = read_cloud(out);
  const pcl::PCLPointCloud2 reference = make_cloud(kRich, 1, 0);
  ASSERT_EQ(merged.fields.size(), reference.fields.size());
  for (size_t k = 0; k < reference.fields.size(); ++k) {
    EXPECT_EQ(merged.fields[k].name, reference.fields[k].name);
    EXPECT_EQ(merged.fields[k].datatype, reference.fields[k].datatype) << k;
    EXPECT_EQ(merged.fields[k].count, reference.fields[k].count) << k;
    EXPECT_EQ(merged.fields[k].offset, reference.fields[k].offset) << k;
  }
  EXPECT_EQ(merged.width, 15u);
  EXPECT_EQ(merged.height, 1u);
  std::vector<uint8_t> expected;
  for (const auto& [points, base] :
       std::vector<std::pair<uint32_t, int>>{{4, 0}, {5, 100}, {6, 200}}) {
    const pcl::PCLPointCloud2 kf = make_cloud(kRich, points, base);
    expected.insert(expected.end(), kf.data.begin(), kf.data.end());
  }
  EXPECT_EQ(merged.data, expected);

  // The output is binary PCD, and the usual typed reading of PCL takes it.
  EXPECT_NE(drone_test::read_file(out).find("\nDATA binary\n"), std::string::npos);
  pcl::PointCloud<pcl::PointXYZI> typed;
  ASSERT_EQ(pcl::io::loadPCDFile(out, typed), 0);
  ASSERT_EQ(typed.size(), 15u);
  EXPECT_FLOAT_EQ(typed[0].x, 0.0f);
  EXPECT_FLOAT_EQ(typed[4].x, 100.0f);
  EXPECT_FLOAT_EQ(typed[14].intensity, 205.0f);
}

TEST(ScanMerger, RefusesKeyframesWhoseFieldsDiffer) {
  std::vector<Field> renamed = kXyzi;
  renamed[3].name = "reflectivity";
  std::vector<Field> retyped = kXyzi;
  retyped[3].datatype = pcl::PCLPointField::UINT8;
  std::vector<Field> recounted = kXyzi;
  recounted[3].count = 2;
  std::vector<Field> extra = kXyzi;
  extra.push_back({"ring", pcl::PCLPointField::UINT16, 1});
  const std::vector<Field> fewer(kXyzi.begin(), kXyzi.begin() + 3);
  std::vector<Field> reordered = kXyzi;
  std::swap(reordered[0], reordered[1]);

  for (const auto& odd : {renamed, retyped, recounted, extra, fewer, reordered}) {
    drone_test::TempDir dir;
    const std::string scan = dir.file("scan");
    fs::create_directory(scan);
    write_keyframe(scan + "/1.pcd", make_cloud(kXyzi, 2, 0));
    write_keyframe(scan + "/2.pcd", make_cloud(odd, 2, 0));
    write_keyframe(scan + "/3.pcd", make_cloud(kXyzi, 2, 0));
    const std::vector<std::string> before = listing(scan);

    const MergeResult r = ScanMerger::merge(scan, scan + "/merged.pcd");
    expect_failure(r, scan);
    EXPECT_NE(r.error_message.find("关键帧字段不一致: " + scan + "/2.pcd"), std::string::npos)
        << r.error_message;
    EXPECT_NE(r.error_message.find(scan + "/1.pcd"), std::string::npos) << r.error_message;
    EXPECT_EQ(listing(scan), before);
  }
}

TEST(ScanMerger, NeverTakesItsOutputForAKeyframe) {
  drone_test::TempDir dir;
  const std::string scan = dir.file("scans");
  fs::create_directory(scan);
  write_keyframe(scan + "/1.pcd", make_cloud(kXyzi, 3, 0));
  write_keyframe(scan + "/2.pcd", make_cloud(kXyzi, 4, 10));
  const std::string out = scan + "/scans_full.pcd";

  const MergeResult first = ScanMerger::merge(scan, out);
  ASSERT_TRUE(first.success) << first.error_message;
  const std::string first_bytes = drone_test::read_file(out);
  // Again, now with the earlier result among the files, and once more by another spelling of
  // the same path.
  for (const std::string& target : {out, scan + "/./scans_full.pcd"}) {
    const MergeResult again = ScanMerger::merge(scan + "/", target);
    ASSERT_TRUE(again.success) << again.error_message;
    EXPECT_EQ(again.keyframe_count, 2);
    EXPECT_EQ(again.total_points, 7u);
    EXPECT_EQ(drone_test::read_file(out), first_bytes);
  }
  EXPECT_EQ(listing(scan), (std::vector<std::string>{"1.pcd", "2.pcd", "scans_full.pcd"}));
}

TEST(ScanMerger, RefusesToOverwriteAKeyframe) {
  drone_test::TempDir dir;
  write_keyframe(dir.file("1.pcd"), make_cloud(kXyzi, 3, 0));
  write_keyframe(dir.file("2.pcd"), make_cloud(kXyzi, 4, 10));
  const std::string keyframe = drone_test::read_file(dir.file("2.pcd"));
  // Whatever the spelling of the path.
  for (const std::string& target : {dir.file("2.pcd"), dir.path() + "//./2.pcd"}) {
    const MergeResult r = ScanMerger::merge(dir.path(), target);
    expect_failure(r, dir.path());
    EXPECT_EQ(r.error_message, "输出文件是扫描目录中的关键帧，合并会覆盖它: " + target);
    EXPECT_EQ(drone_test::read_file(dir.file("2.pcd")), keyframe);
  }
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"1.pcd", "2.pcd"}));
}

TEST(ScanMerger, FailureLeavesNoPartialFileAndKeepsTheOldOutput) {
  drone_test::TempDir dir;
  const std::string scan = dir.file("scan");
  fs::create_directory(scan);
  write_keyframe(scan + "/1.pcd", make_cloud(kXyzi, 50, 0));
  write_keyframe(scan + "/2.pcd", make_cloud(kXyzi, 50, 100), PcdEncoding::kCompressed);
  // A compressed keyframe whose packed bytes are damaged: its header reads well, so the merge
  // has already written part of the output when the point data turns out to be unreadable.
  std::string bytes = drone_test::read_file(scan + "/2.pcd");
  const size_t data = bytes.find("DATA binary_compressed\n") + 23 + 8;
  for (size_t k = data; k < bytes.size(); ++k) bytes[k] = static_cast<char>(0xFF);
  drone_test::write_file(scan + "/2.pcd", bytes);
  const std::string out = dir.file("site_full.pcd");
  drone_test::write_file(out, "the previous merge");

  const MergeResult r = ScanMerger::merge(scan, out);
  expect_failure(r, scan);
  EXPECT_EQ(r.error_message.rfind("无法读取关键帧: " + scan + "/2.pcd", 0), 0u) << r.error_message;
  EXPECT_EQ(drone_test::read_file(out), "the previous merge");
  EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"scan", "site_full.pcd"}));
}

TEST(ScanMerger, ReportsEachFailureWithThePathConcerned) {
  drone_test::TempDir dir;
  const std::string scan = dir.file("scan");
  fs::create_directory(scan);
  write_keyframe(scan + "/1.pcd", make_cloud(kXyzi, 2, 0));
  const std::string empty = dir.file("empty");
  fs::create_directory(empty);
  drone_test::write_file(empty + "/readme.txt", "no keyframes here");
  drone_test::write_file(dir.file("plain"), "a file");
  const std::string broken = dir.file("broken");
  fs::create_directory(broken);
  write_keyframe(broken + "/1.pcd", make_cloud(kXyzi, 2, 0));
  drone_test::write_file(broken + "/2.pcd", "hello, not a point cloud\n");
  const std::string short_binary = dir.file("short");
  fs::create_directory(short_binary);
  write_keyframe(short_binary + "/1.pcd", make_cloud(kXyzi, 20, 0));
  // PCL pads what it writes; cut the file one record short of its points.
  const size_t body = drone_test::read_file(short_binary + "/1.pcd").find("DATA binary\n") + 12;
  fs::resize_file(short_binary + "/1.pcd", body + 19 * 16);
  // A damaged header that claims billions of points must be refused from the file size alone,
  // before anything tries to hold them.
  const std::string liar = dir.file("liar");
  fs::create_directory(liar);
  drone_test::write_file(liar + "/1.pcd",
                         "VERSION 0.7\nFIELDS x\nSIZE 4\nTYPE F\nCOUNT 1\nWIDTH 4000000000\n"
                         "HEIGHT 1\nPOINTS 4000000000\nDATA binary\n0123");
  // Links named like keyframes that lead nowhere, or to themselves.
  const std::string dangling = dir.file("dangling");
  fs::create_directory(dangling);
  write_keyframe(dangling + "/1.pcd", make_cloud(kXyzi, 2, 0));
  fs::create_symlink(dangling + "/gone.pcd", dangling + "/2.pcd");
  const std::string looping = dir.file("looping");
  fs::create_directory(looping);
  write_keyframe(looping + "/1.pcd", make_cloud(kXyzi, 2, 0));
  fs::create_symlink("3.pcd", looping + "/3.pcd");
  const std::string overflow = dir.file("overflow");
  fs::create_directory(overflow);
  for (const char* name : {"1.pcd", "2.pcd"}) {
    drone_test::write_file(overflow + "/" + name,
                           "VERSION 0.7\nFIELDS x\nSIZE 1\nTYPE U\nWIDTH 3000000000\nHEIGHT 1\n"
                           "DATA binary\n");
    fs::resize_file(overflow + "/" + name, 3000000100);  // sparse: costs no disk
  }

  struct Case {
    std::string scan_dir;
    std::string output;
    std::string error_start;
  };
  const std::vector<Case> cases = {
      {dir.file("missing"), dir.file("o.pcd"), "扫描目录不存在: " + dir.file("missing")},
      {dir.file("plain"), dir.file("o.pcd"), "扫描路径不是目录: " + dir.file("plain")},
      {empty, dir.file("o.pcd"), "扫描目录中没有关键帧 (.pcd 文件): " + empty},
      {broken, dir.file("o.pcd"), "无法读取关键帧: " + broken + "/2.pcd"},
      {short_binary, dir.file("o.pcd"), "无法读取关键帧: " + short_binary + "/1.pcd"},
      {liar, dir.file("o.pcd"), "无法读取关键帧: " + liar + "/1.pcd"},
      {dangling, dir.file("o.pcd"),
       "无法读取关键帧: " + dangling + "/2.pcd (No such file or directory)"},
      {looping, dir.file("o.pcd"),
       "无法读取关键帧: " + looping + "/3.pcd (Too many levels of symbolic links)"},
      {overflow, dir.file("o.pcd"),
       "关键帧点数合计超出单个 PCD 文件的上限 4294967295: " + overflow},
      {scan, dir.file("nowhere/o.pcd"), "无法写入输出文件: " + dir.file("nowhere/o.pcd")},
      {scan, empty, "无法写入输出文件: " + empty},
      {scan, dir.file("plain/o.pcd"), "无法写入输出文件: " + dir.file("plain/o.pcd")},
      {scan, "", "无法写入输出文件: "},
  };
  for (const Case& c : cases) {
    const MergeResult r = ScanMerger::merge(c.scan_dir, c.output);
    expect_failure(r, c.scan_dir);
    EXPECT_EQ(r.error_message.rfind(c.error_start, 0), 0u)
        << "got: " << r.error_message << "\nwanted: " << c.error_start;
  }
  EXPECT_FALSE(fs::exists(dir.file("o.pcd")));
  EXPECT_EQ(listing(empty), std::vector<std::string>{"readme.txt"});
}

// Keyframe headers written by hand: the merge must read them as PCL does, since PCL reads the
// points. PCL stops its header at a line it does not know and would then take the header text
// for points (zeros in the merged cloud) or crash, so such a keyframe is refused.
TEST(ScanMerger, ReadsKeyframeHeadersAsPclDoes) {
  const std::string fields = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
  const std::string shape = "WIDTH 2\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\n";
  const float points[6] = {1, 2, 3, 4, 5, 6};
  const std::string binary(reinterpret_cast<const char*>(points), sizeof(points));
  struct Case {
    std::string text;
    std::string reason;  // empty: merges to `points`
  };
  const std::vector<Case> cases = {
      {fields + shape + "DATA binary\n" + binary, ""},
      {"# comment\n\n" + fields + shape + "DATA ascii\n1 2 3\n4 5 6\n", ""},
      // An old file: POINTS without WIDTH and HEIGHT is one row.
      {"VERSION .5\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2\nDATA ascii\n1 2 3\n4 5 6\n",
       ""},
      {fields + shape + "FOO bar\nDATA binary\n" + binary, "未知的头部行 FOO"},
      {"FOO bar\n" + fields + shape + "DATA binary\n" + binary, "未知的头部行 FOO"},
      {fields + " \t\n" + shape + "DATA binary\n" + binary, "头部含有空白行"},
      {fields + "\r\n" + shape + "DATA binary\n" + binary, "头部含有空白行"},
      {fields + "HEIGHT 1\nPOINTS 2\nDATA binary\n" + binary, "缺少 WIDTH"},
      // The library would read these words as 2.88 and 0.
      {fields + shape + "DATA ascii\n1 2 3\n2.88abc def 6\n", "第 12 行的 \"2.88abc\" 不是数字"},
  };
  for (const Case& c : cases) {
    drone_test::TempDir dir;
    const std::string scan = dir.file("scan");
    fs::create_directory(scan);
    drone_test::write_file(scan + "/1.pcd", c.text);
    const MergeResult r = ScanMerger::merge(scan, dir.file("out.pcd"));
    if (c.reason.empty()) {
      ASSERT_TRUE(r.success) << r.error_message;
      EXPECT_EQ(r.total_points, 2u);
      const pcl::PCLPointCloud2 merged = read_cloud(dir.file("out.pcd"));
      EXPECT_EQ(std::string(merged.data.begin(), merged.data.end()), binary) << c.text;
    } else {
      expect_failure(r, scan);
      EXPECT_EQ(r.error_message, "无法读取关键帧: " + scan + "/1.pcd (" + c.reason + ")");
      EXPECT_FALSE(fs::exists(dir.file("out.pcd")));
    }
  }
}

TEST(ScanMerger, ReportsAnUnwritableOutputDirectory) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
  drone_test::TempDir dir;
  write_keyframe(dir.file("1.pcd"), make_cloud(kXyzi, 2, 0));
  const std::string locked = dir.file("locked");
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  const MergeResult r = ScanMerger::merge(dir.path(), locked + "/o.pcd");
  expect_failure(r, dir.path());
  EXPECT_EQ(r.error_message.rfind("无法写入输出文件: " + locked + "/o.pcd (", 0), 0u)
      << r.error_message;
}

TEST(ScanMerger, OutputPathKinds) {
  // A link at the output is replaced, never written through; a device (as root the merge used
  // to replace one with a regular file), a FIFO or a directory is refused and left as it was.
  for (const drone_test::OutputPathKind& kind : drone_test::output_path_kinds()) {
    SCOPED_TRACE(kind.name);
    drone_test::TempDir dir;
    const std::string scan = dir.file("scan");
    fs::create_directory(scan);
    write_keyframe(scan + "/1.pcd", make_cloud(kXyzi, 3, 0));
    drone_test::write_file(dir.file("kept"), "kept");
    const std::string out = dir.file("site_full.pcd");
    if (!drone_test::make_output_path(kind, out, dir.file("kept"))) continue;
    const std::string before = drone_test::path_state(out);
    const MergeResult r = ScanMerger::merge(scan, out);
    EXPECT_EQ(drone_test::path_state(dir.file("kept")), "file:kept");
    if (kind.replaced) {
      EXPECT_TRUE(r.success) << r.error_message;
      EXPECT_EQ(read_cloud(out).width, 3u);
    } else {
      expect_failure(r, scan);
      EXPECT_EQ(r.error_message,
                "无法写入输出文件: " + out + " (exists and is not a regular file)");
      EXPECT_EQ(drone_test::path_state(out), before);
    }
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"kept", "scan", "site_full.pcd"}));
  }
}

}  // namespace
