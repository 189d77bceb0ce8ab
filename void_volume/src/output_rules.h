#pragma once

// The rules on the depth, the output names and the volumes a run may report.

#include <string>

namespace caikongqu {
namespace detail {

// The reconstruction depth actually used: 4 or less becomes 5, above 12 becomes 12. Deeper
// octrees cost time and memory steeply for no gain on drone scans; shallower ones lose the shape.
int clamp_depth(int requested);

// Where the reconstructed cloud of `input_pcd` goes: `output_dir` + "/" + the input's base name
// (after its last '/' or '\') with everything from its last '.' cut off + "_reconstructed.pcd".
// The separator is added even when `output_dir` is empty or already ends in one.
std::string reconstructed_path(const std::string& input_pcd, const std::string& output_dir);

// Where the reconstructed mesh of `input_pcd` goes: as reconstructed_path, ending in "_mesh.ply".
std::string mesh_path(const std::string& input_pcd, const std::string& output_dir);

// A reconstructed volume this much larger than the convex hull of the points cannot enclose only
// what was scanned.
constexpr double kMaxVolumeOverHull = 1.25;

// Empty when `volume` is at most kMaxVolumeOverHull times `hull_volume`; otherwise the run's
// failure text, giving both volumes and the likely causes.
std::string check_against_hull(double volume, double hull_volume);

// A piece of the surface thinner than this many neighbour radii of the points (its thickness
// taken as 3 V / A, the radius of a ball, 1.5 times that of a long tube) and holding at most
// kMaxThinPieceShare of the largest piece's volume is no void the scan resolved: a drill hole's
// spike, scraps of sparse returns beyond a wall.
constexpr double kMinPieceThickness = 2.0;
constexpr double kMaxThinPieceShare = 0.01;

// Whether a piece of `volume` and `area` is thinner than kMinPieceThickness times `radius` and
// at most kMaxThinPieceShare of `largest`, the largest piece's volume.
bool thinner_than_sampling(double volume, double area, double radius, double largest);

}  // namespace detail
}  // namespace caikongqu
