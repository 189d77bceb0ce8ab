#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace caikongqu {

// The file formats the reconstructed mesh is saved in: binary PLY, OBJ text, binary STL (4-byte
// floats only) and DXF R12 text of 3DFACEs.
enum class MeshFormat { kPly, kObj, kStl, kDxf };

// The format named `name`, "ply", "obj", "stl" or "dxf" in any case, into `format`; false (and
// `format` untouched) for any other name.
bool parse_mesh_format(const std::string& name, MeshFormat& format);

// A window of the reconstructed surface: a connected patch that no point supports, where the
// reconstruction bridged missing data (an open brow, a ledge's shadow).
struct UnscannedWindow {
  // Its area, in the square of the input's unit.
  double area = 0.0;
  // Its width across (the widest empty disc it holds), in the input's unit.
  double width = 0.0;
  // Its area-weighted centre, in the input's coordinates.
  double centre[3] = {0.0, 0.0, 0.0};
  // Whether the walls at its rim run on beyond it, closing off a recess.
  bool recess = false;
};

// What one analysis of a void's point cloud found. Owns all its members.
struct VolumeResult {
  // Enclosed volume of each connected piece of the reconstructed surface, in the cube of the
  // input's unit (m^3 for a cloud in metres), never negative. Piece 0 is the one holding the
  // mesh's first triangle, the others follow their first triangle. Empty: no triangle at all.
  std::vector<double> component_volumes;
  // Sum of component_volumes, same unit; 0.0 when there is no piece.
  double total_volume = 0.0;
  // Points read from the input file, invalid (NaN or infinite) points included; 0 when the file
  // could not be loaded.
  std::size_t points_count = 0;
  // Polygons of the reconstructed mesh, counted before triangulation (polygons of fewer than
  // three vertices included); 0 when no reconstruction took place.
  std::size_t mesh_polygons = 0;
  // Path of the reconstructed cloud file: <output dir>/<input base name>_reconstructed.pcd.
  // Empty when the analysis stopped before it tried to create the output.
  std::string output_path;
  // Path of the reconstructed mesh file, <output dir>/<input base name>_mesh.<format's ending>,
  // when it was asked for and its save was tried; empty otherwise.
  std::string mesh_path;
  // Pieces of the saved mesh that were not a closed, consistently wound surface after their
  // coincident vertices were welded, and so were saved as reconstructed; 0 without a saved mesh.
  std::size_t mesh_open_pieces = 0;
  // Points left out as stray returns before the reconstruction: isolated points and groups of
  // fewer than 20 points away from the scanned surface. Counted in points_count.
  std::size_t stray_points = 0;
  // Finite points that repeat an earlier one (the same place, or within a thousandth of the
  // local point spacing), counted once from the start: copies carry no information. Counted in
  // points_count.
  std::size_t duplicate_points = 0;
  // Pieces of the reconstructed surface that lie inside another, larger piece (dust, the
  // scanner's boom, clutter near the scanner: not a second void), and their summed volume. They
  // are left out of component_volumes and total_volume; the saved cloud and mesh still hold them.
  std::size_t nested_pieces = 0;
  double nested_volume = 0.0;
  // Pieces of at most 1 % of another's volume whose points run on along that other piece's walls:
  // a drill hole's spike, cut off at its mouth by the reconstruction, no void of its own. Left out
  // of component_volumes and total_volume like the nested ones.
  std::size_t thin_pieces = 0;
  double thin_volume = 0.0;
  // Share (0 to 1) of the reconstructed surface's area that lies farther than twice the local
  // point spacing from every point: surface no point supports, made up by the reconstruction. Set
  // once the mesh passed the hull check; 0 before.
  double unscanned_share = 0.0;
  // The windows of the surface (connected unscanned patches at least four neighbour radii across
  // and 0.1 % of its area), the largest first, at most eight; set with unscanned_share. Marked
  // in the saved mesh.
  std::vector<UnscannedWindow> windows;
  // True only when every step succeeded and the reconstructed cloud was saved.
  bool success = false;
  // Why the analysis failed; empty when success is true.
  std::string error_message;
};

// Measures the volume of a void from the point cloud that samples its walls.
class VolumeAnalyzer {
 public:
  // Reads the PCD file at `input_pcd` (float x, y, z fields), estimates normals from the 20
  // nearest neighbours of every finite point, turned toward the file's sensor origin where that
  // orients each spatially separate cluster consistently and else made consistent by propagation
  // over the neighbour graph, reconstructs a closed surface by Poisson reconstruction at `depth`
  // clamped to 5..12, splits it into its edge-connected pieces and integrates the volume each
  // encloses. Writes the mesh vertices as an ASCII PCD file (8 significant digits) to
  // `output_dir` + "/" + the input's base name without its extension + "_reconstructed.pcd";
  // with `save_mesh` also the mesh itself, in `mesh_format`, named the same way but ending in
  // "_mesh.ply" (".obj", ".stl", ".dxf"). The saved mesh is a closed solid per piece: vertices
  // within a thousandth of the median edge welded, triangles with two corners in one vertex
  // dropped, each piece wound so that its normals point out of the void (positive signed volume);
  // a piece that is still not closed is saved as reconstructed. The volumes are measured on the
  // mesh as reconstructed, whatever is saved. The directory is never created. Each file is written
  // under a temporary name beside it and renamed into place only when complete, so an output is
  // either the earlier file or the whole new one; a symbolic link there is replaced, never written
  // through.
  //
  // Returns success false with error_message set, and writes nothing, when the file cannot be
  // loaded ("Failed to load PCD file: <path>", also when its header declares more point data than
  // the file can hold), lacks float x, y, z fields, holds fewer than 20 finite points, or the
  // reconstruction yields a polygon indexing outside its vertices or a non-finite vertex, or
  // the total volume exceeds the convex hull of the finite points by more than 25 % (a volume
  // that cannot be right; the text gives both volumes and the likely causes; nothing written),
  // or more than 4 % of the surface is unscanned, or a window closes off a recess (walls on
  // opposite sides of its rim run on beyond it; the text names the window).
  // Returns success false with "Failed to save reconstructed PCD: <output> (<reason>)" when the
  // output cannot be created (checked before the reconstruction: a missing or unwritable
  // directory, an output path that exists and is not a regular file), written, synced or renamed,
  // and likewise "Failed to save reconstructed mesh: <output> (<reason>)" for the mesh. An STL
  // mesh asked of a cloud stored in 8-byte floats whose coordinates single precision cannot hold
  // to a hundredth of the point spacing is refused before anything is written ("STL keeps ...").
  // Points with a NaN or infinite coordinate take no part in the reconstruction but count in
  // points_count. A reconstruction without vertices is saved as a file of no points.
  //
  // Exceptions of the point-cloud library pass unchanged; so does std::bad_alloc.
  //
  // Prints nothing of its own, and leaves the process's descriptors alone: the point-cloud
  // library's own diagnostics go to standard output and standard error, so a caller that keeps
  // them for other lines holds a drone_task::LibraryOutputSilenced while it runs.
  //
  // `on_progress`, when set, is called on the caller's thread with the share of the work done
  // (0 to 1) at the end of each step.
  static VolumeResult analyze(const std::string& input_pcd, int depth,
                              const std::string& output_dir, bool save_mesh = false,
                              MeshFormat mesh_format = MeshFormat::kPly,
                              const std::function<void(double)>& on_progress = {});
};

}  // namespace caikongqu
