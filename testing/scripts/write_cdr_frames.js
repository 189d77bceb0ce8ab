// Writes Livox frames (livox_ros_driver2/msg/CustomMsg) in CDR with the npm packages
// @foxglove/rosmsg2-serialization (little-endian, from the definition text) and @foxglove/cdr
// (big-endian, field by field), as independent references for the suite's CDR frame reader.
// Frame k has a frame_id of k letters, so timebase moves between 8-byte slots, and k points;
// every value follows from k and the point's index by the rule in reference_frame() below, which
// the C++ test repeats (livox_msgs/test/cdr_frame_reader_test.cpp).
// The packages are those of testing/ros2-writers (its lockfile; @foxglove/cdr comes with
// @foxglove/rosmsg2-serialization):
//   (cd testing/ros2-writers && npm ci)
//   NODE_PATH=testing/ros2-writers/node_modules node testing/scripts/write_cdr_frames.js OUT_DIR
"use strict";
const fs = require("fs");
const path = require("path");
const { parse } = require("@foxglove/rosmsg");
const { MessageWriter } = require("@foxglove/rosmsg2-serialization");
const { CdrWriter, EncapsulationKind } = require("@foxglove/cdr");

const rule = "=".repeat(80);
const definition = [
  "std_msgs/Header header",
  "uint64 timebase",
  "uint32 point_num",
  "uint8 lidar_id",
  "uint8[3] rsvd",
  "CustomPoint[] points",
  rule,
  "MSG: std_msgs/Header",
  "builtin_interfaces/Time stamp",
  "string frame_id",
  rule,
  "MSG: builtin_interfaces/Time",
  "int32 sec",
  "uint32 nanosec",
  rule,
  "MSG: livox_ros_driver2/CustomPoint",
  "uint32 offset_time",
  "float32 x",
  "float32 y",
  "float32 z",
  "uint8 reflectivity",
  "uint8 tag",
  "uint8 line",
  "",
].join("\n");

function reference_frame(k) {
  const points = [];
  for (let i = 0; i < k; i++) {
    points.push({
      offset_time: i * 1000 + k,
      x: i * 0.25 - k,
      y: k * 0.5 + i,
      z: -0.125 * (i + 1),
      reflectivity: (i * 37 + k) % 256,
      tag: i % 4,
      line: (i + k) % 6,
    });
  }
  return {
    header: { stamp: { sec: 1700000000 + k, nanosec: k * 100000001 }, frame_id: "f".repeat(k) },
    timebase: 1700000000000000000n + BigInt(k) * 100000000n + 0x0102n,
    point_num: k + 1000,
    lidar_id: k + 1,
    rsvd: [k, 0xff - k, 0x5a],
    points,
  };
}

function big_endian(frame) {
  const w = new CdrWriter({ kind: EncapsulationKind.CDR_BE });
  w.int32(frame.header.stamp.sec).uint32(frame.header.stamp.nanosec).string(frame.header.frame_id);
  w.uint64(frame.timebase).uint32(frame.point_num).uint8(frame.lidar_id);
  frame.rsvd.forEach((b) => w.uint8(b));
  w.uint32(frame.points.length);
  for (const p of frame.points) {
    w.uint32(p.offset_time).float32(p.x).float32(p.y).float32(p.z);
    w.uint8(p.reflectivity).uint8(p.tag).uint8(p.line);
  }
  return w.data;
}

const out = process.argv[2];
fs.mkdirSync(out, { recursive: true });
const writer = new MessageWriter(parse(definition, { ros2: true }));
for (let k = 0; k <= 9; k++) {
  const frame = reference_frame(k);
  fs.writeFileSync(path.join(out, `frame${k}_le.cdr`), writer.writeMessage(frame));
  fs.writeFileSync(path.join(out, `frame${k}_be.cdr`), big_endian(frame));
}
