#pragma once

// Point clouds of any field layout, written as PCD files by the point-cloud library's own
// writer, for the tests of the PCD readers.

#include <pcl/PCLPointCloud2.h>

#include <cstdint>
#include <string>
#include <vector>

namespace drone_test {

// One field of a cloud's point record.
struct PcdField {
  std::string name;
  uint8_t datatype;  // a pcl::PCLPointField type
  uint32_t count;    // elements of that type
};

// A cloud of one row of `points` points whose records hold `fields` packed in order, every data
// byte 0.
pcl::PCLPointCloud2 cloud_layout(const std::vector<PcdField>& fields, uint32_t points);

// The storages of a PCD file's points.
enum class PcdEncoding { kAscii, kBinary, kCompressed };

// Writes `cloud` to `path` with pcl::PCDWriter in `encoding`; returns the writer's status
// (0: written).
int write_pcd(const std::string& path, const pcl::PCLPointCloud2& cloud, PcdEncoding encoding);

}  // namespace drone_test
