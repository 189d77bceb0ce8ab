#include "cloud_cdr.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace livox_to_pc2 {

namespace {

// Appends CDR fields, each aligned to its size counted from the byte after the 4-byte
// encapsulation header.
class CdrOut {
 public:
  explicit CdrOut(std::vector<uint8_t>& out) : out_(out) {}
  template <typename T>
  void put(T value) {
    align(sizeof(T));
    const size_t at = out_.size();
    out_.resize(at + sizeof(T));
    std::memcpy(out_.data() + at, &value, sizeof(T));
  }
  void put_string(const std::string& text) {
    put<uint32_t>(static_cast<uint32_t>(text.size() + 1));
    out_.insert(out_.end(), text.begin(), text.end());
    out_.push_back(0);
  }
  void align(size_t size) {
    while ((out_.size() - 4) % size != 0) out_.push_back(0);
  }
  size_t size() const { return out_.size(); }

 private:
  std::vector<uint8_t>& out_;
};

constexpr char kSeparator[] =
    "================================================================================\n";

}  // namespace

const char kPointCloud2Type[] = "sensor_msgs/msg/PointCloud2";

std::string pointcloud2_definition() {
  return std::string(
             "# A cloud of N points, each a record of the fields listed in \"fields\".\n"
             "std_msgs/Header header\n"
             "uint32 height\n"
             "uint32 width\n"
             "PointField[] fields\n"
             "bool    is_bigendian\n"
             "uint32  point_step\n"
             "uint32  row_step\n"
             "uint8[] data\n"
             "bool is_dense\n") +
         kSeparator +
         "MSG: std_msgs/Header\n"
         "builtin_interfaces/Time stamp\n"
         "string frame_id\n" +
         kSeparator +
         "MSG: builtin_interfaces/Time\n"
         "int32 sec\n"
         "uint32 nanosec\n" +
         kSeparator +
         "MSG: sensor_msgs/PointField\n"
         "uint8 INT8    = 1\n"
         "uint8 UINT8   = 2\n"
         "uint8 INT16   = 3\n"
         "uint8 UINT16  = 4\n"
         "uint8 INT32   = 5\n"
         "uint8 UINT32  = 6\n"
         "uint8 FLOAT32 = 7\n"
         "uint8 FLOAT64 = 8\n"
         "string name\n"
         "uint32 offset\n"
         "uint8  datatype\n"
         "uint32 count\n";
}

CdrCloudWriter::CdrCloudWriter(const PointLayout& layout, const std::string& frame_id)
    : point_step_(layout.point_step()) {
  head_ = {0x00, 0x01, 0x00, 0x00};
  CdrOut out(head_);
  out.put<int32_t>(0);   // stamp.sec
  out.put<uint32_t>(0);  // stamp.nanosec
  out.put_string(frame_id);
  out.put<uint32_t>(1);  // height
  width_at_ = out.size();
  out.put<uint32_t>(0);  // width
  out.put<uint32_t>(static_cast<uint32_t>(layout.fields().size()));
  for (const LayoutField& field : layout.fields()) {
    out.put_string(field.name);
    out.put<uint32_t>(field.offset);
    out.put<uint8_t>(field.datatype);
    out.put<uint32_t>(1);  // count
  }
  out.put<uint8_t>(0);  // is_bigendian
  out.put<uint32_t>(point_step_);
  row_step_at_ = out.size();
  out.put<uint32_t>(0);  // row_step
  out.put<uint32_t>(0);  // data length, the same
}

uint8_t* CdrCloudWriter::begin(int32_t sec, uint32_t nanosec, uint32_t width) {
  const uint64_t data_size = static_cast<uint64_t>(point_step_) * width;
  if (data_size > std::numeric_limits<uint32_t>::max()) {
    throw std::runtime_error("its " + std::to_string(width) + " points of " +
                             std::to_string(point_step_) +
                             " bytes make a cloud larger than a CDR sequence can hold");
  }
  // is_dense follows the data; the payload is then padded to a multiple of 4.
  const size_t unpadded = head_.size() + data_size + 1;
  const size_t padding = (4 - unpadded % 4) % 4;
  bytes_.resize(unpadded + padding);
  std::memcpy(bytes_.data(), head_.data(), head_.size());
  const auto row_step = static_cast<uint32_t>(data_size);
  std::memcpy(bytes_.data() + 4, &sec, 4);
  std::memcpy(bytes_.data() + 8, &nanosec, 4);
  std::memcpy(bytes_.data() + width_at_, &width, 4);
  std::memcpy(bytes_.data() + row_step_at_, &row_step, 4);
  std::memcpy(bytes_.data() + row_step_at_ + 4, &row_step, 4);
  bytes_[3] = static_cast<uint8_t>(padding);
  bytes_[unpadded - 1] = 1;  // is_dense
  std::memset(bytes_.data() + unpadded, 0, padding);
  return bytes_.data() + head_.size();
}

}  // namespace livox_to_pc2
