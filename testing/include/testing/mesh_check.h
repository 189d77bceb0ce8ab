#pragma once

#include <string>
#include <vector>

namespace drone_test {

// What independent readers (meshio for PLY, OBJ and STL, ezdxf for DXF, run by
// testing/scripts/mesh_check.py) find in a saved triangle mesh. Corners at exactly the same
// position count as one vertex whatever the format shares.
struct MeshCheck {
  bool read = false;                // false: the reader failed; `error` says why
  std::string error;                // the reader's standard error and exit status when it failed
  long vertices = 0;                // distinct corner positions
  long triangles = 0;               // triangles read, degenerate ones included
  long degenerate = 0;              // triangles with two corners at one position
  long boundary = 0;                // edges of exactly one triangle
  long nonmanifold = 0;             // edges of three or more triangles
  long misoriented = 0;             // edges that two triangles run the same way
  std::vector<double> pieces;       // signed volume of each edge-connected piece, in file order
  double volume = 0.0;              // their sum: positive when the normals point out of the solid
  std::vector<std::string> layers;  // DXF only: the layers of the 3DFACEs
};

// Reads the mesh at `path` (its format from its ending: .ply, .obj, .stl, .dxf) with Debian's
// Python 3 and its mesh readers. Needs DRONE_SOURCE_DIR (set by ctest).
MeshCheck check_mesh(const std::string& path);

}  // namespace drone_test
