#pragma once

// The header of a PCD file, read and checked before the point-cloud library is given the file.
// The library's own header reader sizes the point buffer from the header and fills it with
// zeros before anything is checked, so a damaged header claiming billions of points would
// exhaust memory; and it misreads or crashes on some headers (it ends the header at the first
// line it does not know and takes the header text itself for points).

#include <pcl/PCLPointField.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pcd_header {

// How the point data after the header is stored.
enum class DataKind {
  kAscii,             // "DATA ascii": one text line per point
  kBinary,            // "DATA binary": packed records, point after point
  kBinaryCompressed,  // "DATA binary_compressed": LZF-packed field arrays after two sizes
};

// What a PCD header declares, once it has been found sound.
struct PcdHeader {
  // True when the header is complete and unambiguous and the file is long enough for the
  // points it declares; all other fields keep their defaults when false.
  bool ok = false;
  // Why ok is false, a short Chinese text such as "未知的头部行 FOO" or "文件比头部声明的点数短"
  // (for a file that cannot be opened, the system's text for the error); empty when ok.
  std::string reason;
  // The point fields in file order, typed as the point-cloud library types them, with their
  // byte offsets in one packed record; never empty when ok.
  std::vector<pcl::PCLPointField> fields;
  // Number of points, WIDTH × HEIGHT (at most 4294967295); 0 for a cloud without points.
  uint64_t points = 0;
  // Bytes of one packed record, the sum of SIZE × COUNT over the fields; 0 when not ok.
  uint64_t point_step = 0;
  // How the points are stored; kAscii when not ok.
  DataKind data = DataKind::kAscii;
  // Byte offset in the file of the first byte after the DATA line, where the points start;
  // 0 when not ok.
  uint64_t data_offset = 0;
};

// A value of text point data that is not a number.
struct TextFault {
  // 1-based line of the file holding the value; 0 when every value read is a number.
  uint64_t line = 0;
  // The value as written (at most its first 40 bytes); empty for a line of blanks.
  std::string word;
};

// Reads the header of the PCD file at `path` line by line up to its DATA line, without reading
// or allocating for the points, and checks it against the file. Lines may be blank (empty) or
// comments ("#..."); keys are FIELDS (or COLUMNS), SIZE, TYPE, COUNT (optional, 1 each),
// WIDTH, HEIGHT (optional, 1), POINTS, VIEWPOINT, VERSION and DATA, each a whole word. An old
// header with POINTS but neither WIDTH nor HEIGHT is one row of POINTS points, as the library
// reads it; POINTS, when given with WIDTH, must equal WIDTH × HEIGHT.
//
// Refuses (ok false, reason set) an unknown key, a line of blanks only, a header without a DATA
// line within its first MiB or with a line longer than 64 KiB, field lists of different lengths,
// a field whose SIZE and TYPE the library has no type for or whose COUNT is 0 or above 65536,
// records above 16 MiB, more than 4294967295 points, an unknown data kind, and a file shorter
// than the declared points need: binary data needs POINTS × point_step bytes, text data two
// bytes per value (a character and a separator, the last separator may be missing), and
// compressed data sizes that match the declared points, fit the file and expand no more than
// 100-fold (LZF never packs tighter than 1:88). A header accepted here may still be refused by
// the library's reader (for example one without a POINTS line), but what that reader then
// sets aside for the points stays within a small multiple of the file's size: at most the file
// for binary data, four times it for text (a value has at most 8 bytes), a hundred times it for
// compressed data.
//
// With `text_fault`, also checks the text point data of a header accepted with
// DataKind::kAscii, word by word as the library's reader takes them: the first sum-of-COUNTs
// words of each of the first `points` non-empty lines, split at blanks, tabs and carriage
// returns. The library reads a word that is not a number as 0, or as the number its text starts
// with ("2.88abc" as 2.88), and so would turn a damaged file into plausible points. A number is
// a decimal with optional sign, fraction and exponent, or nan, inf or infinity in any case with
// an optional sign. `*text_fault` is the first fault, or line 0 when there is none (also for a
// refused header, other data kinds, and a file that can no longer be read: the library's read
// then fails on its own).
//
// The file is opened once; its kind, its size and every byte read come from that one open
// descriptor. A path that names anything but a regular file (a FIFO, a device, a directory, a
// socket) is refused with the reason kNotRegularFile and never read; a FIFO without a writer is
// opened without waiting for one.
//
// Reads only the header, for compressed data the two sizes after it, and with `text_fault` the
// text data a line at a time. Never throws except std::bad_alloc.
PcdHeader read(const std::string& path, TextFault* text_fault = nullptr);

// The reason read() gives for a path that is not a regular file.
constexpr char kNotRegularFile[] = "不是普通文件";

}  // namespace pcd_header
