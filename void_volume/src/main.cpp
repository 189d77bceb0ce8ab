#include "caikongqu_task.h"
#include "framework/entry.h"

namespace {

const drone_task::ProgramInfo kInfo{
    "voidvol_node",
    "Usage: voidvol_node --input <cloud.pcd> [--depth 8] [--output_dir /home/ulvar/savemap]\n"
    "                    [--save_mesh true] [--mesh_format ply|obj|stl|dxf]\n"
    "\n"
    "Measures the volume of a mined-out void from the point cloud scanned inside it: estimates\n"
    "normals (20 nearest neighbours), turned toward the file's VIEWPOINT or, where that is not\n"
    "consistent, made consistent per cluster of points, reconstructs a closed surface by Poisson\n"
    "reconstruction, splits it into connected pieces and integrates the volume of each. The\n"
    "vertices of the reconstructed surface are saved as an ASCII PCD file.\n"
    "\n"
    "Options:\n"
    "  --input <path>       input PCD file with float x, y, z fields (required, no default);\n"
    "                       points with NaN or infinite coordinates are left out\n"
    "  --depth <n>          reconstruction depth, clamped to 5..12 (default 8)\n"
    "  --output_dir <dir>   existing directory for <input base name>_reconstructed.pcd\n"
    "                       (default /home/ulvar/savemap; never created)\n"
    "  --save_mesh true     also save the reconstructed mesh beside the cloud as\n"
    "                       <input base name>_mesh.<format>: a closed solid per piece,\n"
    "                       normals pointing out of the void into the rock\n"
    "  --mesh_format <f>    format of that mesh (default ply): ply (binary), obj (text),\n"
    "                       stl (binary, 4-byte floats: refused for site coordinates it\n"
    "                       cannot hold), dxf (R12, one 3DFACE per triangle on a layer\n"
    "                       named after the input); any other name fails the run\n"
    "  --help, --version    print this text or the version and exit\n"
    "\n"
    "Output: one JSON progress line per report on standard output, {\"_progress\":{...}}, at 0\n"
    "and 50 percent, then the final report whose metadata holds the result\n"
    "{\"points_count\":N,\"mesh_polygons\":N,\"total_volume\":V,\"component_count\":N,\n"
    "\"component_volumes\":[V,...]} (volumes in the cube of the input unit, six decimals) and\n"
    "the reconstructed cloud (and the mesh) as output files. A volume more than 25 % above the\n"
    "convex hull of the points is refused as a failure.\n"
    "\n"
    "Environment: DRONE_TASK_PROGRESS_URL, when set, names an HTTP endpoint that receives every\n"
    "report as a POST as well.\n"
    "\n"
    "Exit status: 0 when the analysis ran to its end, 1 on any failure (error report at 100\n"
    "percent and \"[ERROR] <text>\" on standard error).\n"};

}  // namespace

int main(int argc, char** argv) { return drone_task::run_main<CaikongquTask>(argc, argv, kInfo); }
