#pragma once

// A hand-made mesh for the tests of the mesh steps: vertex positions and polygons of vertex
// indices, as the reconstruction hands them over.

#include <pcl/Vertices.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>

#include <vector>

namespace voidvol_test {

struct HandMesh {
  pcl::PointCloud<pcl::PointXYZ> vertices;
  std::vector<pcl::Vertices> polygons;

  // A vertex at the single-precision position nearest (x, y, z); returns its index.
  int vertex(double x, double y, double z) {
    vertices.push_back(
        pcl::PointXYZ(static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)));
    return static_cast<int>(vertices.size()) - 1;
  }
  void polygon(const std::vector<int>& indices) {
    pcl::Vertices p;
    p.vertices.assign(indices.begin(), indices.end());
    polygons.push_back(p);
  }
  void triangle(int a, int b, int c) { polygon({a, b, c}); }
};

}  // namespace voidvol_test
