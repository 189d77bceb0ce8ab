#pragma once

#include "framework/params.h"
#include "framework/reporter.h"
#include "framework/task.h"

// The job of voidvol_node: measure the void sampled by the cloud of --input, reconstruct it at
// --depth (default 8) and save the reconstructed cloud in --output_dir (default
// /home/ulvar/savemap), with --save_mesh true also the reconstructed mesh as a closed solid in
// --mesh_format (ply, obj, stl or dxf; default ply).
// Reports at 0 and at 50 percent, then finishes with
// {"points_count":N,"mesh_polygons":N,"total_volume":V,"component_count":N,
// "component_volumes":[V,...]} (volumes with six decimals) and the reconstructed cloud, then
// the mesh when it was saved, as its output files. Throws std::runtime_error when --input is
// missing, --mesh_format names no known format (before anything is read or written) or the
// analysis fails; the point-cloud library's exceptions pass unchanged.
class CaikongquTask : public drone_task::Task {
 public:
  void run(const drone_task::Params& params, drone_task::Reporter& reporter) override;
};
