"""Prints a program's final result line and a one-line human summary of it.

Reads the program's standard output on stdin; arguments: program name, exit status, sample
directory. Exits 1 when the output holds no final result line."""
import json
import sys

program, status, sample = sys.argv[1], int(sys.argv[2]), sys.argv[3]
raw = [l for l in sys.stdin.read().splitlines() if l.strip()]
lines = [json.loads(l)["_progress"] for l in raw]
final = [i for i, l in enumerate(lines)
         if isinstance(l.get("metadata"), dict) and "result" in l["metadata"]]
errors = [l["message"] for l in lines if l["message"].startswith("错误: ")]
if not final:
    print("   no result line; " + (errors[0] if errors else "no output"))
    sys.exit(1)
line = lines[final[-1]]
print("   " + raw[final[-1]])
r = line["metadata"]["result"]

if program == "routecheck_node":
    verdict = "passes" if r["valid"] else "fails"
    summary = (f"mission {verdict}: {r['waypoint_count']} waypoints, {r['error_count']} errors, "
               f"{r['warning_count']} warnings; actions {r['action_summary']}")
    if r["errors"]:
        summary += f"; first error: {r['errors'][0]}"
    elif r["warnings"]:
        summary += f"; warning: {r['warnings'][0]}"
elif program == "bagstat_node":
    topics = ", ".join(f"{t['name']} ({t['msg_type']}, {t['count']})" for t in r["topics"])
    summary = f"{r['total_messages']} messages over {r['duration_seconds']:.2f} s: {topics}"
elif program == "scancheck_node":
    frames = ", ".join(str(a["frame"]) for a in r["anomalies"])
    summary = (f"{r['total_frames']} frames, {r['anomaly_frames']} late or after a dropped frame "
               f"({r['anomaly_rate']:.2f}% of intervals, max {r['max_interval_ms']:.2f} ms), "
               f"{r['low_point_frames']} with too few points, {r['high_nan_frames']} with NaN "
               f"points, {r['invalid_angle_frames']} outside the elevation band; "
               f"anomalous frames: {frames}")
elif program == "cloudconv_node":
    summary = (f"{r['converted_messages']} Livox frames -> PointCloud2 on {r['target_topic']} "
               f"({r['total_points']} points), {r['copied_messages']} other messages copied, "
               f"written to {r['output_bag']}")
elif program == "voidvol_node":
    with open(f"{sample}/void.pcd.volume") as f:
        truth = float(f.read())
    error = 100.0 * (r["total_volume"] - truth) / truth
    summary = (f"volume {r['total_volume']:.2f} m^3 in {r['component_count']} component(s) "
               f"vs true {truth:.2f} m^3 ({error:+.1f}%), {r['mesh_polygons']} polygons from "
               f"{r['points_count']} points")
elif program == "scanmerge_node":
    summary = (f"{r['keyframe_count']} keyframes, {r['total_points']} points merged into "
               f"{r['output_pcd']}")
else:
    summary = line["message"]
if status != 0 and errors:
    summary += f" (exit {status}: {errors[-1]})"
print("   " + summary)
