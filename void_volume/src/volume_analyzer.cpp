#include "void_volume/volume_analyzer.h"

#include <pcl/PCLPointCloud2.h>
#include <pcl/PolygonMesh.h>
#include <pcl/common/io.h>
#include <pcl/conversions.h>
#include <pcl/io/pcd_io.h>
#include <pcl/point_cloud.h>
#include <pcl/point_types.h>
#include <pcl/surface/convex_hull.h>
#include <pcl/surface/poisson.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "cloud_checks.h"
#include "cloud_files.h"
#include "mesh_files.h"
#include "mesh_solid.h"
#include "mesh_volume.h"
#include "neighbour_search.h"
#include "normal_orientation.h"
#include "output_rules.h"
#include "pcd_header/pcd_header.h"
#include "result_checks.h"
#include "safe_output/output_file.h"
#include "windows.h"

namespace caikongqu {

namespace {

// The neighbourhood of every normal; the cloud needs at least this many usable points.
using detail::kNormalNeighbours;

}  // namespace

namespace {

std::string save_failure(const std::string& path, const std::string& reason) {
  return "Failed to save reconstructed PCD: " + path + " (" + reason + ")";
}

std::string mesh_save_failure(const std::string& path, const std::string& reason) {
  return "Failed to save reconstructed mesh: " + path + " (" + reason + ")";
}

bool is_finite(const pcl::PointXYZ& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// The points that the neighbour search and the reconstruction can take: a point with a NaN or
// infinite coordinate would abort the search. The cloud's sensor origin stays with the points,
// since the normals are turned toward it. Returns `cloud` itself when every point is finite.
pcl::PointCloud<pcl::PointXYZ>::Ptr finite_points(
    const pcl::PointCloud<pcl::PointXYZ>::Ptr& cloud) {
  pcl::Indices keep;
  keep.reserve(cloud->size());
  for (size_t i = 0; i < cloud->size(); ++i) {
    if (is_finite((*cloud)[i])) keep.push_back(static_cast<pcl::index_t>(i));
  }
  if (keep.size() == cloud->size()) {
    cloud->is_dense = true;
    return cloud;
  }
  pcl::PointCloud<pcl::PointXYZ>::Ptr out(new pcl::PointCloud<pcl::PointXYZ>);
  pcl::copyPointCloud(*cloud, keep, *out);
  out->is_dense = true;
  return out;
}

// The points of `cloud` whose entry in `keep` is not 0, with the cloud's sensor origin.
pcl::PointCloud<pcl::PointXYZ>::Ptr kept_points(const pcl::PointCloud<pcl::PointXYZ>& cloud,
                                                const std::vector<uint8_t>& keep) {
  pcl::Indices indices;
  indices.reserve(cloud.size());
  for (size_t i = 0; i < cloud.size(); ++i) {
    if (keep[i]) indices.push_back(static_cast<pcl::index_t>(i));
  }
  pcl::PointCloud<pcl::PointXYZ>::Ptr out(new pcl::PointCloud<pcl::PointXYZ>);
  pcl::copyPointCloud(cloud, indices, *out);
  out->is_dense = true;
  return out;
}

// The volume of the convex hull of the points, 0.0 when they span no volume (all on one plane
// or line) and the hull cannot be built. Measured here from the hull's facets rather than asked
// of the hull library, which would print its statistics on the way.
double convex_hull_volume(const pcl::PointCloud<pcl::PointXYZ>::ConstPtr& points) {
  pcl::ConvexHull<pcl::PointXYZ> hull;
  hull.setDimension(3);
  hull.setInputCloud(points);
  pcl::PointCloud<pcl::PointXYZ> corners;
  std::vector<pcl::Vertices> facets;
  hull.reconstruct(corners, facets);
  if (corners.empty()) return 0.0;
  // A convex body is the union of the cones from any inner point over its facets.
  Eigen::Vector3d centre = Eigen::Vector3d::Zero();
  for (const auto& p : corners) centre += p.getVector3fMap().cast<double>();
  centre /= static_cast<double>(corners.size());
  double volume = 0.0;
  for (const pcl::Vertices& facet : facets) {
    const auto& v = facet.vertices;
    for (size_t k = 2; k < v.size(); ++k) {
      const Eigen::Vector3d a = corners[v[0]].getVector3fMap().cast<double>() - centre;
      const Eigen::Vector3d b = corners[v[k - 1]].getVector3fMap().cast<double>() - centre;
      const Eigen::Vector3d c = corners[v[k]].getVector3fMap().cast<double>() - centre;
      volume += std::fabs(a.dot(b.cross(c))) / 6.0;
    }
  }
  return volume;
}

// The points the surface is reconstructed from, with what was learnt reading them.
struct Surface {
  pcl::PointCloud<pcl::PointXYZ>::Ptr points;
  // Where the points were moved to be computed in single precision.
  detail::LocalFrame frame;
  // The cloud's median neighbour radius and the local spacing at every point.
  double radius = 0.0;
  std::vector<float> spacing;
  // The search over the points and their nearest neighbours, kept until the normals are oriented.
  std::unique_ptr<detail::NeighbourSearch> search;
  detail::NeighbourRows rows;
  // The cluster of every point: points joined along the scanned surface share one.
  std::vector<uint32_t> cluster;
};

// The cluster of points that supports each piece of the mesh: the one that most of the points
// nearest to its triangles' first corners belong to; -1 for a piece without triangles, and for
// every piece when the points have no clusters.
std::vector<int64_t> piece_support(const Surface& surface,
                                   const pcl::PointCloud<pcl::PointXYZ>& vertices,
                                   const std::vector<pcl::Vertices>& polygons,
                                   const detail::MeshVolumes& measured) {
  const size_t pieces = measured.component_volumes.size();
  std::vector<int64_t> support(pieces, -1);
  const pcl::PointCloud<pcl::PointXYZ>& points = *surface.points;
  if (surface.cluster.size() != points.size() || points.empty()) return support;
  const detail::NeighbourSearch search(points);
  std::vector<std::vector<uint32_t>> seen(pieces);
  std::vector<int> found;
  std::vector<size_t> scratch;
  std::vector<float> distance;
  size_t t = 0;
  for (const pcl::Vertices& polygon : polygons) {
    const auto& v = polygon.vertices;
    for (size_t f = 2; f < v.size(); ++f, ++t) {
      const auto piece = static_cast<size_t>(measured.triangle_piece[t]);
      search.nearest(vertices[static_cast<size_t>(v[0])].data, 1, found, scratch, distance);
      if (!found.empty() && found[0] >= 0) {
        seen[piece].push_back(surface.cluster[static_cast<size_t>(found[0])]);
      }
    }
  }
  for (size_t k = 0; k < pieces; ++k) {
    std::vector<uint32_t>& labels = seen[k];
    std::sort(labels.begin(), labels.end());
    size_t best = 0;
    for (size_t i = 0; i < labels.size();) {
      size_t j = i;
      while (j < labels.size() && labels[j] == labels[i]) ++j;
      if (j - i > best) best = j - i, support[k] = labels[i];
      i = j;
    }
  }
  return support;
}

// Reads the cloud, leaves out non-finite, repeated and stray points and checks what is left;
// sets result's counts, or its error_message (and returns no points) when the cloud is refused.
Surface load_surface(const std::string& input_pcd, VolumeResult& result) {
  Surface surface;
  pcl::PointCloud<pcl::PointXYZ>::Ptr cloud(new pcl::PointCloud<pcl::PointXYZ>);
  result.error_message = detail::load_cloud(input_pcd, *cloud, surface.frame);
  if (!result.error_message.empty()) return surface;
  result.points_count = cloud->size();

  pcl::PointCloud<pcl::PointXYZ>::Ptr usable = finite_points(cloud);
  cloud.reset();  // only the usable points are needed from here on
  if (usable->size() < static_cast<size_t>(kNormalNeighbours)) {
    result.error_message =
        "Too few valid points to reconstruct a surface: " + std::to_string(usable->size()) +
        " finite of " + std::to_string(result.points_count) + " read, at least " +
        std::to_string(kNormalNeighbours) + " needed";
    return surface;
  }
  // Values whose squared distances overflow single precision would break the search tree.
  result.error_message = detail::check_coordinates(*usable);
  if (!result.error_message.empty()) return surface;

  const size_t finite_count = usable->size();
  // Repeated points (a cloud written twice, merged cumulative keyframes) are one point each
  // before any spacing is measured; a cloud without any goes on exactly as it was read.
  const detail::Duplicates exact = detail::find_exact_repeats(*usable);
  if (exact.collapsed > 0) usable = kept_points(*usable, exact.keep);

  // One neighbour search serves the repeats, the strays, the normals and their orientation.
  surface.search = std::make_unique<detail::NeighbourSearch>(*usable);
  surface.rows = surface.search->rows(kNormalNeighbours);
  // Copies a float step or a re-export apart, judged against the points' own spacing.
  const detail::Duplicates near = detail::find_near_repeats(*usable, surface.rows);
  result.duplicate_points = exact.collapsed + near.collapsed;
  if (near.collapsed > 0) {
    if (usable->size() - near.collapsed < static_cast<size_t>(kNormalNeighbours)) {
      result.error_message = "Too few points on the scanned surface: " +
                             std::to_string(usable->size() - near.collapsed) + " kept of " +
                             std::to_string(finite_count) + " finite, at least " +
                             std::to_string(kNormalNeighbours) + " needed";
      return surface;
    }
    surface.search->leave_out(near.keep, surface.rows);
    usable = kept_points(*usable, near.keep);
  }

  // Stray returns (dust, drops, returns through openings or from far walls) are left out; a
  // cloud without any goes on exactly as it was read.
  detail::Strays strays = detail::find_strays(*usable, surface.rows);
  result.stray_points = strays.left_out;
  const size_t kept = usable->size() - strays.left_out;
  if (kept < static_cast<size_t>(kNormalNeighbours)) {
    result.error_message = "Too few points on the scanned surface: " + std::to_string(kept) +
                           " kept of " + std::to_string(finite_count) + " finite, at least " +
                           std::to_string(kNormalNeighbours) + " needed";
    return surface;
  }
  if (strays.left_out > 0) {
    surface.search->leave_out(strays.keep, surface.rows);
    usable = kept_points(*usable, strays.keep);
    size_t next = 0;
    for (size_t i = 0; i < strays.keep.size(); ++i) {
      if (strays.keep[i]) strays.spacing[next++] = strays.spacing[i];
    }
    strays.spacing.resize(next);
  }
  result.error_message = detail::check_extent(*usable);
  if (!result.error_message.empty()) return surface;
  // Site coordinates in single precision may have lost the shape to rounding; read in double
  // precision they were moved to a local origin.
  if (!surface.frame.float64) {
    result.error_message = detail::check_coordinate_step(*usable, strays.radius);
    if (!result.error_message.empty()) return surface;
  }
  surface.points = std::move(usable);
  surface.radius = strays.radius;
  surface.spacing = std::move(strays.spacing);
  return surface;
}

// Estimates the normals of the surface's points, orients them consistently and reconstructs the
// surface; the neighbour search is done with once the normals are oriented.
pcl::PolygonMesh reconstruct(Surface& surface, int octree_depth,
                             const std::function<void(double)>& progress) {
  const pcl::PointCloud<pcl::PointXYZ>& points = *surface.points;
  pcl::PointCloud<pcl::PointNormal>::Ptr oriented(new pcl::PointCloud<pcl::PointNormal>);
  {
    const Eigen::Vector3f viewpoint = points.sensor_origin_.head<3>();
    pcl::PointCloud<pcl::Normal> normals =
        detail::estimate_normals(points, surface.rows, viewpoint);
    // Every normal is turned toward the sensor origin; that holds only where the origin sees
    // every wall from inside, so the orientation is made consistent per cluster.
    progress(0.3);
    surface.cluster =
        detail::orient_normals(points, *surface.search, surface.rows, viewpoint, normals).cluster;
    surface.search.reset();
    surface.rows = detail::NeighbourRows();
    pcl::concatenateFields(points, normals, *oriented);
  }
  progress(0.4);

  pcl::PolygonMesh mesh;
  pcl::Poisson<pcl::PointNormal> poisson;
  poisson.setDepth(octree_depth);
  poisson.setInputCloud(oriented);
  poisson.reconstruct(mesh);
  return mesh;
}

// Measures the pieces of the mesh, leaves out those that are no void, and judges the result
// against the points' hull and against the points themselves (the unscanned share and the
// windows); sets result's volumes, or its error_message, and marks in `guessed` the vertices of
// the windows (empty when there is none).
void measure(const pcl::PointCloud<pcl::PointXYZ>& vertices, const pcl::PolygonMesh& mesh,
             const Surface& surface, double hull_volume, VolumeResult& result,
             std::vector<uint8_t>& guessed) {
  detail::MeshVolumes measured = detail::measure_mesh(vertices, mesh.polygons);
  if (!measured.success) {
    result.error_message = measured.error_message;
    return;
  }
  // A piece inside another (dust, the boom, clutter near the scanner) is not a second void, nor
  // is a small piece whose points run on along the surface of a larger one (a drill hole's
  // spike, which the reconstruction cut off at its mouth). A piece whose points are a cluster of
  // their own, rock between them and the others, is a void, however thin.
  const std::vector<double>& volumes = measured.component_volumes;
  const size_t largest =
      static_cast<size_t>(std::max_element(volumes.begin(), volumes.end()) - volumes.begin());
  auto nested = [&measured](size_t k) { return k < measured.inside.size() && measured.inside[k]; };
  size_t candidates = 0;
  for (size_t k = 0; k < volumes.size(); ++k) candidates += nested(k) ? 0 : 1;
  const std::vector<int64_t> support =
      candidates > 1 ? piece_support(surface, vertices, mesh.polygons, measured)
                     : std::vector<int64_t>(volumes.size(), -1);
  auto spike = [&](size_t k) {
    if (k == largest) return false;
    if (support[k] < 0) {
      return detail::thinner_than_sampling(volumes[k], measured.component_areas[k], surface.radius,
                                           volumes[largest]);
    }
    for (size_t j = 0; j < volumes.size(); ++j) {
      if (j != k && !nested(j) && support[j] == support[k] &&
          volumes[k] <= detail::kMaxThinPieceShare * volumes[j]) {
        return true;
      }
    }
    return false;
  };
  for (size_t k = 0; k < volumes.size(); ++k) {
    const double volume = volumes[k];
    if (nested(k)) {
      ++result.nested_pieces;
      result.nested_volume += volume;
      continue;
    }
    if (spike(k)) {
      ++result.thin_pieces;
      result.thin_volume += volume;
      continue;
    }
    result.component_volumes.push_back(volume);
    result.total_volume += volume;
  }

  // A reconstruction that found no surface, or only open scraps of one, measured nothing.
  if (result.component_volumes.empty()) {
    result.error_message = "Reconstruction found no surface: the mesh has " +
                           std::to_string(result.mesh_polygons) + " polygons and no triangle";
    return;
  }
  if (measured.closed_pieces == 0) {
    result.error_message = "Reconstruction found no closed surface: none of its " +
                           std::to_string(result.component_volumes.size()) +
                           " pieces encloses a volume";
    return;
  }

  result.error_message = detail::check_against_hull(result.total_volume, hull_volume);
  if (!result.error_message.empty()) return;

  detail::Unscanned unscanned =
      detail::measure_unscanned(*surface.points, surface.spacing, vertices, mesh.polygons);
  unscanned.patch_centre += surface.frame.origin;
  result.unscanned_share = unscanned.share;
  detail::Windows windows = detail::find_windows(vertices, mesh.polygons, unscanned.triangles,
                                                 unscanned.gap, surface.radius, unscanned.area);
  for (const detail::Window& w : windows.found) {
    if (result.windows.size() == detail::kMaxWindowsTold) break;
    UnscannedWindow told;
    told.area = w.area;
    told.width = w.width;
    for (int k = 0; k < 3; ++k) told.centre[k] = w.centre[k] + surface.frame.origin[k];
    told.recess = w.recess;
    result.windows.push_back(told);
  }
  guessed = std::move(windows.guessed);
  // Too much surface guessed; or, whatever the share, a window that closes off a recess.
  result.error_message = detail::check_unscanned(unscanned);
  if (result.error_message.empty())
    result.error_message = detail::check_windows(windows.found, surface.frame.origin);
}

}  // namespace

VolumeResult VolumeAnalyzer::analyze(const std::string& input_pcd, int depth,
                                     const std::string& output_dir, bool save_mesh,
                                     MeshFormat mesh_format,
                                     const std::function<void(double)>& on_progress) {
  // The share of the work done at the end of each step, from the steps' times on large clouds.
  const std::function<void(double)> progress = [&on_progress](double fraction) {
    if (on_progress) on_progress(fraction);
  };
  VolumeResult result;
  const int octree_depth = detail::clamp_depth(depth);

  Surface surface = load_surface(input_pcd, result);
  if (!result.error_message.empty()) return result;
  const detail::LocalFrame frame = surface.frame;
  if (save_mesh && mesh_format == MeshFormat::kStl) {
    result.error_message = detail::check_stl_precision(*surface.points, frame, surface.radius);
    if (!result.error_message.empty()) return result;
  }
  progress(0.1);

  // The output is created before the reconstruction, so that a missing or read-only directory
  // fails the run at once rather than after minutes of work.
  const std::string output_path = detail::reconstructed_path(input_pcd, output_dir);
  safe_output::OutputFile out(output_path);
  const std::string not_writable = out.open();
  if (!not_writable.empty()) {
    result.output_path = output_path;
    result.error_message = save_failure(output_path, not_writable);
    return result;
  }
  // The mesh, when asked for, likewise.
  const std::string mesh_path =
      save_mesh ? detail::mesh_path(input_pcd, output_dir, detail::mesh_extension(mesh_format))
                : "";
  safe_output::OutputFile mesh_out(mesh_path);
  if (save_mesh) {
    const std::string refused = mesh_out.open();
    if (!refused.empty()) {
      result.output_path = output_path;
      result.mesh_path = mesh_path;
      result.error_message = mesh_save_failure(mesh_path, refused);
      return result;
    }
  }

  const pcl::PolygonMesh mesh = reconstruct(surface, octree_depth, progress);
  const double hull_volume = convex_hull_volume(surface.points);
  progress(0.85);
  result.mesh_polygons = mesh.polygons.size();

  // The vertex positions serve both the measurement and the saved cloud.
  pcl::PointCloud<pcl::PointXYZ> vertices;
  detail::to_xyz(mesh.cloud, vertices);
  std::vector<uint8_t> guessed;
  measure(vertices, mesh, surface, hull_volume, result, guessed);
  surface = Surface();
  if (!result.error_message.empty()) return result;
  progress(0.9);

  // Both files are complete before either takes its name.
  result.output_path = output_path;
  std::string error = frame.float64 ? detail::write_ascii_pcd_float64(out, vertices, frame)
                                    : detail::write_ascii_pcd(out, vertices);
  std::string mesh_error;
  if (error.empty() && save_mesh) {
    result.mesh_path = mesh_path;
    // The saved mesh is made a closed solid; the volumes above were measured as reconstructed.
    detail::SolidMesh solid = detail::make_solid(vertices, mesh.polygons);
    if (!guessed.empty()) {
      solid.guessed.reserve(solid.vertices.size());
      for (const int32_t v : solid.vertices)
        solid.guessed.push_back(guessed[static_cast<size_t>(v)]);
    }
    result.mesh_open_pieces = solid.open;
    mesh_error = detail::write_mesh(mesh_out, mesh_format, vertices, solid, frame,
                                    detail::layer_name(detail::base_name(input_pcd)));
  }
  if (error.empty() && mesh_error.empty()) {
    const auto done = safe_output::commit_together({&out, save_mesh ? &mesh_out : nullptr});
    (done.failed == 0 ? error : mesh_error) = done.error;
  }
  if (!error.empty()) {
    result.error_message = save_failure(output_path, error);
    return result;
  }
  if (!mesh_error.empty()) {
    result.error_message = mesh_save_failure(mesh_path, mesh_error);
    return result;
  }
  result.success = true;
  progress(1.0);
  return result;
}

}  // namespace caikongqu
