// ad hoc: a large Livox-like MCAP for measuring (not committed)
import fs from "node:fs";
import { McapWriter } from "@mcap/core";
import zstd from "@foxglove/wasm-zstd";
await zstd.isLoaded;
const [out, gb, comp] = [process.argv[2], Number(process.argv[3]), process.argv[4]];
const fd = fs.openSync(out, "w");
class W { size=0n; async write(b){ fs.writeSync(fd, b); this.size+=BigInt(b.byteLength);} position(){return this.size;} }
const writer = new McapWriter({ writable: new W(), chunkSize: 1 << 20,
  compressChunk: comp === "zstd" ? (d) => ({ compression: "zstd", compressedData: zstd.compress(d, 1) }) : undefined });
await writer.start({ profile: "ros2", library: "x" });
const s = await writer.registerSchema({ name: "livox_ros_driver2/msg/CustomMsg", encoding: "ros2msg", data: new Uint8Array() });
const s2 = await writer.registerSchema({ name: "sensor_msgs/msg/Imu", encoding: "ros2msg", data: new Uint8Array() });
const lidar = await writer.registerChannel({ topic: "/livox/lidar", schemaId: s, messageEncoding: "cdr", metadata: new Map() });
const imu = await writer.registerChannel({ topic: "/livox/imu", schemaId: s2, messageEncoding: "cdr", metadata: new Map() });
const frame = new Uint8Array(24000); for (let i = 0; i < frame.length; i++) frame[i] = (i * 7919) & 0xff;
const sample = new Uint8Array(320).fill(3);
const frames = Math.floor(gb * 1e9 / 25300);
let t = 1700000000000000000n;
for (let f = 0; f < frames; f++) {
  frame[0] = f & 0xff; frame[1] = (f >> 8) & 0xff;
  await writer.addMessage({ channelId: lidar, sequence: f, logTime: t, publishTime: t, data: frame });
  for (let i = 0; i < 4; i++) await writer.addMessage({ channelId: imu, sequence: f*4+i, logTime: t + BigInt(i)*25000000n + 1n, publishTime: t, data: sample });
  t += 100000000n;
}
await writer.end();
fs.closeSync(fd);
