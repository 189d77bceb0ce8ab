// The volume analysis's cloud loading (header check, then the point-cloud library's reader) on
// any bytes stored as a PCD file; the reconstruction after it is left out.
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include "cloud_files.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile pcd(data, size, "input.pcd");
  pcl::PointCloud<pcl::PointXYZ> cloud;
  caikongqu::detail::LocalFrame frame;
  const std::string error = caikongqu::detail::load_cloud(pcd.path(), cloud, frame);
  drone_fuzz::expect(error.empty() || cloud.empty(), "no points from a refused file");
  return 0;
}
