#include "testing/pcd_cloud.h"

#include <pcl/common/io.h>
#include <pcl/io/pcd_io.h>

namespace drone_test {

pcl::PCLPointCloud2 cloud_layout(const std::vector<PcdField>& fields, uint32_t points) {
  pcl::PCLPointCloud2 cloud;
  uint32_t offset = 0;
  for (const PcdField& f : fields) {
    pcl::PCLPointField pf;
    pf.name = f.name;
    pf.offset = offset;
    pf.datatype = f.datatype;
    pf.count = f.count;
    cloud.fields.push_back(pf);
    offset += static_cast<uint32_t>(pcl::getFieldSize(f.datatype)) * f.count;
  }
  cloud.point_step = offset;
  cloud.width = points;
  cloud.height = 1;
  cloud.row_step = offset * points;
  cloud.is_dense = 1;
  cloud.data.resize(static_cast<size_t>(offset) * points);
  return cloud;
}

int write_pcd(const std::string& path, const pcl::PCLPointCloud2& cloud, PcdEncoding encoding) {
  pcl::PCDWriter writer;
  switch (encoding) {
    case PcdEncoding::kAscii:
      return writer.writeASCII(path, cloud);
    case PcdEncoding::kBinary:
      return writer.writeBinary(path, cloud);
    case PcdEncoding::kCompressed:
      return writer.writeBinaryCompressed(path, cloud);
  }
  return -1;
}

}  // namespace drone_test
