#include "pcd_header/pcd_header.h"

#include <gtest/gtest.h>
#include <pcl/PCLPointCloud2.h>
#include <pcl/common/io.h>
#include <pcl/console/print.h>
#include <pcl/io/pcd_io.h>
#include <pcl/point_types.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "testing/output_paths.h"
#include "testing/pcd_cloud.h"
#include "testing/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using pcd_header::DataKind;
using pcd_header::PcdHeader;

// Silences the library's reader, which the tests run on damaged files as the reference.
class PclQuiet : public ::testing::Environment {
 public:
  void SetUp() override { pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS); }
};
const auto* const kQuiet = ::testing::AddGlobalTestEnvironment(new PclQuiet);

using Field = drone_test::PcdField;
using Writer = drone_test::PcdEncoding;

// A cloud with every value type the format has, and fields of several counts.
const std::vector<Field> kRich = {
    {"x", pcl::PCLPointField::FLOAT32, 1},    {"y", pcl::PCLPointField::FLOAT32, 1},
    {"z", pcl::PCLPointField::FLOAT32, 1},    {"ring", pcl::PCLPointField::UINT16, 1},
    {"tag", pcl::PCLPointField::INT8, 2},     {"flags", pcl::PCLPointField::UINT8, 1},
    {"level", pcl::PCLPointField::INT16, 1},  {"label", pcl::PCLPointField::INT32, 1},
    {"id", pcl::PCLPointField::UINT32, 1},    {"time", pcl::PCLPointField::FLOAT64, 1},
    {"desc", pcl::PCLPointField::FLOAT32, 3},
};

// A cloud of `points` points with `fields`, every byte of its data from a fixed sequence.
pcl::PCLPointCloud2 make_cloud(const std::vector<Field>& fields, uint32_t points) {
  pcl::PCLPointCloud2 cloud = drone_test::cloud_layout(fields, points);
  // Small integers in every byte: any type reads them as finite numbers.
  for (size_t k = 0; k < cloud.data.size(); ++k) cloud.data[k] = static_cast<uint8_t>(k % 7 * 8);
  return cloud;
}

// The header as the library's own reader makes it out, with where its points start.
struct Reference {
  pcl::PCLPointCloud2 cloud;
  int data_type = -1;
  unsigned int data_idx = 0;
};

Reference reference_header(const std::string& path) {
  Reference ref;
  Eigen::Vector4f origin;
  Eigen::Quaternionf orientation;
  int version = 0;
  EXPECT_EQ(pcl::PCDReader().readHeader(path, ref.cloud, origin, orientation, version,
                                        ref.data_type, ref.data_idx, 0),
            0)
      << path;
  return ref;
}

void expect_refused(const PcdHeader& h, const std::string& reason) {
  EXPECT_FALSE(h.ok);
  EXPECT_EQ(h.reason, reason);
  EXPECT_TRUE(h.fields.empty());
  EXPECT_EQ(h.points, 0u);
  EXPECT_EQ(h.point_step, 0u);
  EXPECT_EQ(h.data, DataKind::kAscii);
  EXPECT_EQ(h.data_offset, 0u);
}

// Every file the library writes, in every storage, reads as the library's own reader reads it:
// the same fields, types, counts and offsets, points, record size and start of the points.
TEST(PcdHeader, ReadsWhatTheLibraryWritesAsTheLibraryReadsIt) {
  drone_test::TempDir dir;
  struct Case {
    const char* name;
    std::vector<Field> fields;
    uint32_t points;
    Writer writer;
    DataKind kind;
  };
  const std::vector<Field> xyz(kRich.begin(), kRich.begin() + 3);
  const std::vector<Case> cases = {
      {"rich_ascii", kRich, 37, Writer::kAscii, DataKind::kAscii},
      {"rich_binary", kRich, 37, Writer::kBinary, DataKind::kBinary},
      {"rich_packed", kRich, 37, Writer::kCompressed, DataKind::kBinaryCompressed},
      {"xyz_binary_large", xyz, 100000, Writer::kBinary, DataKind::kBinary},
      {"empty_ascii", xyz, 0, Writer::kAscii, DataKind::kAscii},
      {"empty_binary", kRich, 0, Writer::kBinary, DataKind::kBinary},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(std::string(c.name) + ".pcd");
    const pcl::PCLPointCloud2 cloud = make_cloud(c.fields, c.points);
    ASSERT_EQ(drone_test::write_pcd(path, cloud, c.writer), 0);
    pcl::PCLPointCloud2 loaded;
    ASSERT_EQ(pcl::PCDReader().read(path, loaded), 0);
    const Reference ref = reference_header(path);

    const PcdHeader h = pcd_header::read(path);
    ASSERT_TRUE(h.ok) << h.reason;
    EXPECT_EQ(h.reason, "");
    EXPECT_EQ(h.points, c.points);
    EXPECT_EQ(h.point_step, ref.cloud.point_step);
    EXPECT_EQ(h.data, c.kind);
    EXPECT_EQ(static_cast<int>(h.data), ref.data_type);
    EXPECT_EQ(h.data_offset, ref.data_idx);
    ASSERT_EQ(h.fields.size(), ref.cloud.fields.size());
    for (size_t k = 0; k < h.fields.size(); ++k) {
      EXPECT_EQ(h.fields[k].name, ref.cloud.fields[k].name) << k;
      EXPECT_EQ(h.fields[k].datatype, ref.cloud.fields[k].datatype) << k;
      EXPECT_EQ(h.fields[k].count, ref.cloud.fields[k].count) << k;
      EXPECT_EQ(h.fields[k].offset, ref.cloud.fields[k].offset) << k;
    }
  }
}

// Identical points compress as tightly as the compression goes, which the size check allows.
TEST(PcdHeader, TakesCompressedDataAtItsTightest) {
  drone_test::TempDir dir;
  pcl::PointCloud<pcl::PointXYZ> zeros;
  zeros.resize(200000, pcl::PointXYZ(0, 0, 0));
  const std::string path = dir.file("zeros.pcd");
  ASSERT_EQ(pcl::PCDWriter().writeBinaryCompressed(path, zeros), 0);
  ASSERT_LT(fs::file_size(path) * 50, 200000u * 12) << "the file is not packed tightly";
  pcl::PCLPointCloud2 loaded;
  ASSERT_EQ(pcl::PCDReader().read(path, loaded), 0);
  const PcdHeader h = pcd_header::read(path);
  ASSERT_TRUE(h.ok) << h.reason;
  EXPECT_EQ(h.points, 200000u);
  EXPECT_EQ(h.point_step, 12u);
  EXPECT_EQ(h.data, DataKind::kBinaryCompressed);
}

// Header texts written by hand, each a form the library's reader takes.
TEST(PcdHeader, ReadsEveryFormOfHeader) {
  const std::string fields = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
  const std::string shape = "WIDTH 2\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\n";
  const std::string ascii = "1 2 3\n4 5 6\n";
  struct Case {
    const char* name;
    std::string text;
    uint64_t points;
    uint64_t point_step;
  };
  const std::vector<Case> cases = {
      {"complete", fields + shape + "DATA ascii\n" + ascii, 2, 12},
      {"comments and empty lines",
       "# .PCD v0.7\n\n" + fields + "\n# shape\n" + shape + "DATA ascii\n" + ascii, 2, 12},
      {"old header of POINTS alone",
       "VERSION .5\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2\nDATA ascii\n" + ascii, 2, 12},
      {"COLUMNS for FIELDS, no COUNT, no HEIGHT, no POINTS",
       "COLUMNS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 2\nDATA ascii\n" + ascii, 2, 12},
      {"organised", fields + "WIDTH 2\nHEIGHT 3\nPOINTS 6\nDATA ascii\n" + ascii + ascii + ascii, 6,
       12},
      {"blanks around words and tabs between",
       "FIELDS\tx  y z \nSIZE 4 4 4\nTYPE F F F\nWIDTH 2 \nDATA ascii\n" + ascii, 2, 12},
      {"CR LF line ends",
       "FIELDS x y z\r\nSIZE 4 4 4\r\nTYPE F F F\r\nWIDTH 2\r\nDATA ascii\r\n" + ascii, 2, 12},
      {"lower-case types",
       "FIELDS a b\nSIZE 8 1\nTYPE f u\nCOUNT 2 5\nWIDTH 1\nDATA ascii\n"
       "1 2 3 4 5 6 7\n",
       1, 21},
      {"no points", fields + "WIDTH 0\nHEIGHT 1\nPOINTS 0\nDATA binary\n", 0, 12},
      {"no points and no data at all", fields + "WIDTH 0\nHEIGHT 0\nDATA binary_compressed\n", 0,
       12},
  };
  drone_test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("cloud.pcd");
    drone_test::write_file(path, c.text);
    const PcdHeader h = pcd_header::read(path);
    ASSERT_TRUE(h.ok) << h.reason;
    EXPECT_EQ(h.points, c.points);
    EXPECT_EQ(h.point_step, c.point_step);
    // The points start right after the DATA line.
    const size_t data_line = c.text.find("DATA ");
    EXPECT_EQ(h.data_offset, c.text.find('\n', data_line) + 1);
  }
}

TEST(PcdHeader, LaysOutFieldsInOnePackedRecord) {
  drone_test::TempDir dir;
  const std::string path = dir.file("cloud.pcd");
  drone_test::write_file(path,
                         "FIELDS a b c d\nSIZE 1 2 8 4\nTYPE I U F U\nCOUNT 3 1 2 1\nWIDTH 1\n"
                         "DATA binary\n" +
                             std::string(25, '\0'));
  const PcdHeader h = pcd_header::read(path);
  ASSERT_TRUE(h.ok) << h.reason;
  EXPECT_EQ(h.point_step, 25u);
  EXPECT_EQ(h.data, DataKind::kBinary);
  const std::vector<Field> want = {{"a", pcl::PCLPointField::INT8, 3},
                                   {"b", pcl::PCLPointField::UINT16, 1},
                                   {"c", pcl::PCLPointField::FLOAT64, 2},
                                   {"d", pcl::PCLPointField::UINT32, 1}};
  const uint32_t offsets[] = {0, 3, 5, 21};
  ASSERT_EQ(h.fields.size(), want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(h.fields[k].name, want[k].name);
    EXPECT_EQ(h.fields[k].datatype, want[k].datatype) << k;
    EXPECT_EQ(h.fields[k].count, want[k].count) << k;
    EXPECT_EQ(h.fields[k].offset, offsets[k]) << k;
  }
}

// Headers the library's reader would misread, crash on or allocate for beyond the file.
TEST(PcdHeader, RefusesDamagedHeadersWithTheirReason) {
  const std::string fields = "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n";
  const std::string shape = "WIDTH 2\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\n";
  const std::string binary(24, '\0');
  const auto header = [](const std::string& points, const std::string& kind,
                         const std::string& count = "1 1 1") {
    return "# .PCD v0.7\nVERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT " + count +
           "\nWIDTH " + points + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + points +
           "\nDATA " + kind + "\n";
  };
  // A MiB of short comment lines.
  std::string comments;
  while (comments.size() <= (1u << 20)) comments += "# " + std::string(62, 'c') + "\n";
  // 33 fields of 65536 doubles: a record of 16.5 MiB.
  std::string wide = "FIELDS", sizes = "\nSIZE", types = "\nTYPE", counts = "\nCOUNT";
  for (int k = 0; k < 33; ++k) {
    wide += " f" + std::to_string(k);
    sizes += " 8";
    types += " F";
    counts += " 65536";
  }
  wide += sizes + types + counts + "\n";
  struct Case {
    const char* name;
    std::string text;
    std::string reason;
  };
  const std::vector<Case> cases = {
      // Lines the library's reader would end its header at.
      {"unknown key before DATA", fields + shape + "FOO bar\nDATA binary\n" + binary,
       "未知的头部行 FOO"},
      {"unknown key first", "FOO bar\n" + fields + shape + "DATA binary\n" + binary,
       "未知的头部行 FOO"},
      {"key with a tail", "FIELDSX x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 2\nDATA ascii\n1 2 3\n",
       "未知的头部行 FIELDSX"},
      {"not a cloud", "this is not\na point cloud\n", "未知的头部行 this"},
      {"line of blanks", fields + " \t\n" + shape + "DATA binary\n" + binary, "头部含有空白行"},
      {"line of a carriage return", fields + "\r\n" + shape + "DATA binary\n" + binary,
       "头部含有空白行"},
      {"line of NUL bytes", fields + std::string(4, '\0') + "\n" + shape + "DATA binary\n" + binary,
       "头部行含有 NUL 字节"},
      {"key after DATA, past a comment and an empty line",
       "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 1\nDATA ascii\n# c\n\nCOUNT 1 1\n1 2 3\n",
       "DATA 行之后还有头部行 COUNT"},
      {"key prefix after DATA", header("2", "ascii") + "DATAX\n1 2 3\n4 5 6\n",
       "DATA 行之后还有头部行 DATA"},
      // No header.
      {"empty file", "", "不是 PCD 文件"},
      {"no DATA line", "VERSION 0.7\nFIELDS x y z\nPOINTS 200000000\n", "不是 PCD 文件"},
      {"DATA line after a MiB of comments", comments + fields + shape + "DATA binary\n" + binary,
       "不是 PCD 文件"},
      {"header line over 64 KiB",
       "# " + std::string(1 << 16, 'a') + "\n" + fields + shape + "DATA binary\n" + binary,
       "不是 PCD 文件"},
      {"no data kind", header("200000000", ""), "DATA 行无效"},
      {"unknown data kind", header("200000000", "packed") + "1 2 3\n", "未知的 DATA 格式 packed"},
      {"data kind with a tail", header("2", "binaryX") + binary, "未知的 DATA 格式 binaryX"},
      // Fields.
      {"no fields", "WIDTH 2\nDATA ascii\n1 2 3\n", "没有字段"},
      {"FIELDS alone", "FIELDS x y z\nPOINTS 2\nDATA ascii\n1 2 3\n4 5 6\n",
       "FIELDS、SIZE、TYPE、COUNT 的项数不一致"},
      {"SIZE short", "FIELDS x y z\nSIZE 4 4\nTYPE F F F\nWIDTH 1\nDATA ascii\n1 2 3\n",
       "FIELDS、SIZE、TYPE、COUNT 的项数不一致"},
      {"COUNT long", header("1", "ascii", "1 1 1 1") + "1 2 3\n",
       "FIELDS、SIZE、TYPE、COUNT 的项数不一致"},
      {"SIZE not a number", "FIELDS x\nSIZE four\nTYPE F\nWIDTH 1\nDATA ascii\n1\n",
       "字段 x 的描述无效"},
      {"TYPE of two letters", "FIELDS x\nSIZE 4\nTYPE FF\nWIDTH 1\nDATA ascii\n1\n",
       "字段 x 的描述无效"},
      {"COUNT 0", header("1", "ascii", "1 0 1") + "1 2\n", "字段 y 的描述无效"},
      {"COUNT of four billion values", header("60", "ascii", "1 4294967295 1") + "1 2 3\n",
       "字段 y 的描述无效"},
      {"COUNT of four billion floats", header("1", "binary", "1 1 4000000000") + "123456789012",
       "字段 z 的描述无效"},
      {"SIZE of four gigabytes",
       "VERSION 0.7\nFIELDS x y z\nSIZE 4 4294967295 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 2\n"
       "HEIGHT 1\nPOINTS 2\nDATA ascii\n1 2 3\n4 5 6\n",
       "字段 y 的类型无法识别"},
      {"three-byte float", "FIELDS x\nSIZE 3\nTYPE F\nWIDTH 1\nDATA ascii\n1\n",
       "字段 x 的类型无法识别"},
      {"unknown type letter", "FIELDS x\nSIZE 4\nTYPE Q\nWIDTH 1\nDATA ascii\n1\n",
       "字段 x 的类型无法识别"},
      {"records over 16 MiB", wide + "WIDTH 0\nDATA binary\n", "字段过多"},
      // Shape.
      {"HEIGHT without WIDTH", fields + "HEIGHT 1\nPOINTS 2\nDATA binary\n" + binary, "缺少 WIDTH"},
      {"neither WIDTH nor POINTS", fields + "DATA binary\n" + binary, "缺少 WIDTH"},
      {"negative count of points", header("-5", "ascii") + "1 2 3\n", "WIDTH 行无效"},
      {"WIDTH not a number", fields + "WIDTH two\nDATA ascii\n1 2 3\n", "WIDTH 行无效"},
      {"HEIGHT empty", fields + "WIDTH 2\nHEIGHT\nDATA ascii\n1 2 3\n", "HEIGHT 行无效"},
      {"POINTS beyond 64 bits", fields + "POINTS 99999999999999999999\nDATA ascii\n",
       "POINTS 行无效"},
      {"WIDTH beyond 32 bits", fields + "WIDTH 4294967296\nHEIGHT 1\nDATA binary\n", "点数过多"},
      {"WIDTH times HEIGHT overflows",
       "VERSION 0.7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 4294967295\n"
       "HEIGHT 4294967295\nDATA binary\n123456789012",
       "点数过多"},
      {"POINTS not WIDTH times HEIGHT",
       fields + "WIDTH 2\nHEIGHT 2\nPOINTS 2\nDATA binary\n" + binary + binary,
       "POINTS 与 WIDTH × HEIGHT 不符"},
      // Declared data beyond the file.
      {"binary one byte short", header("2", "binary") + std::string(23, '\0'),
       "文件比头部声明的点数短"},
      {"binary claiming four billion points",
       "VERSION 0.7\nFIELDS x\nSIZE 4\nTYPE F\nCOUNT 1\nWIDTH 4000000000\nHEIGHT 1\n"
       "POINTS 4000000000\nDATA binary\n0123",
       "文件比头部声明的点数短"},
      {"ascii claiming 200 million points", header("200000000", "ascii") + "1 2 3\n",
       "文件比头部声明的点数短"},
      {"ascii one byte short of two per value", header("2", "ascii") + "1 2 3\n4 5",
       "文件比头部声明的点数短"},
      {"ascii of fewer lines than points", header("8", "ascii") + "1 2 3\n4 5 6\n",
       "文件比头部声明的点数短"},
      {"compressed without sizes", header("2", "binary_compressed") + "1234",
       "文件比头部声明的点数短"},
      {"compressed claiming 200 million points",
       header("200000000", "binary_compressed") + "12345678", "文件比头部声明的点数短"},
  };
  drone_test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("cloud.pcd");
    drone_test::write_file(path, c.text);
    expect_refused(pcd_header::read(path), c.reason);
  }
}

// The two sizes that start compressed data: compressed bytes, then the bytes they expand to.
TEST(PcdHeader, ChecksTheSizesOfCompressedData) {
  const std::string head =
      "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nWIDTH 100\nHEIGHT 1\nDATA binary_compressed\n";
  const auto sizes = [](uint32_t packed, uint32_t unpacked) {
    std::string s(8, '\0');
    std::memcpy(s.data(), &packed, 4);
    std::memcpy(&s[4], &unpacked, 4);
    return s;
  };
  struct Case {
    const char* name;
    std::string body;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"packed bytes all in the file", sizes(20, 1200) + std::string(20, 'p'), true},
      {"expanding a hundredfold", sizes(12, 1200) + std::string(12, 'p'), true},
      {"packed bytes beyond the file", sizes(21, 1200) + std::string(20, 'p'), false},
      {"expanding more than a hundredfold", sizes(11, 1200) + std::string(11, 'p'), false},
      {"expanding to other than the declared points", sizes(20, 1188) + std::string(20, 'p'),
       false},
      {"expanding to other than the declared points", sizes(20, 1212) + std::string(20, 'p'),
       false},
  };
  drone_test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file("cloud.pcd");
    drone_test::write_file(path, head + c.body);
    const PcdHeader h = pcd_header::read(path);
    if (c.ok) {
      EXPECT_TRUE(h.ok) << h.reason;
      EXPECT_EQ(h.data_offset, head.size());
    } else {
      expect_refused(h, "文件比头部声明的点数短");
    }
  }
}

// Text data needs a character and a separator per value; the last separator may be missing.
TEST(PcdHeader, BoundsTextDataByTwoBytesPerValue) {
  const std::string head =
      "FIELDS x y\nSIZE 4 8\nTYPE F F\nCOUNT 1 2\nWIDTH 2\nHEIGHT 1\nDATA ascii\n";
  drone_test::TempDir dir;
  const std::string path = dir.file("cloud.pcd");
  for (const std::string& body : {std::string("1 2 3\n4 5 6\n"), std::string("1 2 3\n4 5 6")}) {
    drone_test::write_file(path, head + body);
    const PcdHeader h = pcd_header::read(path);
    EXPECT_TRUE(h.ok) << h.reason;
    EXPECT_EQ(h.point_step, 20u);
    EXPECT_EQ(h.data, DataKind::kAscii);
  }
  drone_test::write_file(path, head + "1 2 3\n4 5");
  expect_refused(pcd_header::read(path), "文件比头部声明的点数短");
}

// A header claiming billions of points is weighed against the file's size alone: a sparse file
// that really is that long passes, and nothing is allocated for it either way.
TEST(PcdHeader, WeighsHugeClaimsWithoutReadingThePoints) {
  drone_test::TempDir dir;
  const std::string path = dir.file("huge.pcd");
  const std::string head =
      "VERSION 0.7\nFIELDS x\nSIZE 1\nTYPE U\nWIDTH 3000000000\nHEIGHT 1\nDATA binary\n";
  drone_test::write_file(path, head);
  fs::resize_file(path, head.size() + 3000000000ull);  // sparse: costs no disk
  const PcdHeader h = pcd_header::read(path);
  ASSERT_TRUE(h.ok) << h.reason;
  EXPECT_EQ(h.points, 3000000000u);
  EXPECT_EQ(h.point_step, 1u);
  EXPECT_EQ(h.data_offset, head.size());

  fs::resize_file(path, head.size() + 3000000000ull - 1);
  expect_refused(pcd_header::read(path), "文件比头部声明的点数短");
}

TEST(PcdHeader, ReportsAFileThatCannotBeOpened) {
  drone_test::TempDir dir;
  expect_refused(pcd_header::read(dir.file("absent.pcd")), std::strerror(ENOENT));
  expect_refused(pcd_header::read(""), std::strerror(ENOENT));
}

TEST(PcdHeader, RefusesWhatIsNotARegularFileWithoutReadingIt) {
  // A FIFO without a writer must not block the reader (this test would hang); a device or a
  // directory is no cloud either.
  for (const drone_test::OutputPathKind& kind : drone_test::output_path_kinds()) {
    if (kind.replaced) continue;
    SCOPED_TRACE(kind.name);
    drone_test::TempDir dir;
    if (!drone_test::make_output_path(kind, dir.file("in.pcd"), "")) continue;
    expect_refused(pcd_header::read(dir.file("in.pcd")), pcd_header::kNotRegularFile);
  }
}

// A socket cannot be opened at all; it is refused as what it is, not for the failed open.
TEST(PcdHeader, RefusesASocketAsNotARegularFile) {
  drone_test::TempDir dir;
  const std::string path = dir.file("in.pcd");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  expect_refused(pcd_header::read(path), pcd_header::kNotRegularFile);
  ::close(fd);
}

TEST(PcdHeader, FindsTextValuesThatAreNotNumbers) {
  // Six header lines; the points start on line 7. Two points of x y[2].
  const std::string head = "FIELDS x y\nSIZE 4 4\nTYPE F F\nCOUNT 1 2\nWIDTH 2\nDATA ascii\n";
  const struct {
    std::string body;
    uint64_t line;  // 0: every value is a number
    std::string word;
  } cases[] = {
      {"1 -2.5 +3e-2\n.5 5. 7E+3\n", 0, ""},
      {"nan NaN -inf\n+Infinity INF 0\n", 0, ""},
      {"\n1\t2  3\r\n\n 4 5 6 extra words are not read\nnot read either\n", 0, ""},
      {"1 2 3\n2.88abc def 1\n", 8, "2.88abc"},
      {"1 2 def\n4 5 6\n", 7, "def"},
      {"0x10 2 3\n4 5 6\n", 7, "0x10"},
      {"1 2 3\n4 5 1e\n", 8, "1e"},
      {"1 . 3\n4 5 6\n", 7, "."},
      {"1 2 3\n\n \t\r\n4 5 6\n", 9, ""},
      {"1 2 3\n4 5\v6 7\v\n", 8, "5\v6"},  // a trailing \v is trimmed, an inner one splits nothing
      {"1 2 " + std::string(100, 'z') + "\n", 7, std::string(40, 'z')},
  };
  drone_test::TempDir dir;
  const std::string path = dir.file("cloud.pcd");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    drone_test::write_file(path, head + c.body);
    pcd_header::TextFault fault;
    fault.line = 99;  // what read() must reset
    const PcdHeader h = pcd_header::read(path, &fault);
    ASSERT_TRUE(h.ok) << h.reason;
    EXPECT_EQ(fault.line, c.line);
    EXPECT_EQ(fault.word, c.word);
  }
}

}  // namespace
