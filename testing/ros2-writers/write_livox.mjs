// Writes the Livox recordings of testing/fixtures/ros2-livox with writers independent of ours:
// MCAP files through @mcap/core, CDR payloads through @foxglove/rosmsg2-serialization, zstd
// chunks through @foxglove/wasm-zstd, lz4 chunks (frame format) through lz4js, and a rosbag2
// SQLite file through the sqlite3 command. Every frame's content follows from its index, so the
// files come out the same on every run.
//
//   node write_livox.mjs [output folder]     (default: ../fixtures/ros2-livox)
//
// Beside the recordings it writes expected.txt, one line per recording and topic:
//   <recording> <topic> <messages> <first log time> <last log time> <crc32 of the payloads>
// the CRC taken over the topic's payloads one after another in log-time order, as a reader of
// the whole recording hands them over.

import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import zlib from "node:zlib";

import { McapWriter } from "@mcap/core";
import { parse } from "@foxglove/rosmsg";
import { MessageWriter } from "@foxglove/rosmsg2-serialization";
import zstd from "@foxglove/wasm-zstd";
import lz4 from "lz4js";

const out = path.resolve(process.argv[2] ?? new URL("../fixtures/ros2-livox", import.meta.url).pathname);

// The definitions the recorder stores: a message's fields, then each type it uses after a line of
// '=' and "MSG: <package>/<Type>". Both messages carry a std_msgs/Header.
const SEP = "================================================================================\n";
const HEADER_TYPES = `${SEP}MSG: std_msgs/Header
builtin_interfaces/Time stamp
string frame_id
${SEP}MSG: builtin_interfaces/Time
int32 sec
uint32 nanosec
`;

const CUSTOM_MSG = `std_msgs/Header header
uint64 timebase
uint32 point_num
uint8 lidar_id
uint8[3] rsvd
CustomPoint[] points
${HEADER_TYPES}${SEP}MSG: livox_ros_driver2/CustomPoint
uint32 offset_time
float32 x
float32 y
float32 z
uint8 reflectivity
uint8 tag
uint8 line
`;

const IMU_MSG = `std_msgs/Header header
geometry_msgs/Quaternion orientation
float64[9] orientation_covariance
geometry_msgs/Vector3 angular_velocity
float64[9] angular_velocity_covariance
geometry_msgs/Vector3 linear_acceleration
float64[9] linear_acceleration_covariance
${HEADER_TYPES}${SEP}MSG: geometry_msgs/Quaternion
float64 x
float64 y
float64 z
float64 w
${SEP}MSG: geometry_msgs/Vector3
float64 x
float64 y
float64 z
`;

const QOS =
  "- history: 3\n  depth: 0\n  reliability: 1\n  durability: 2\n  deadline:\n    sec: 9223372036\n" +
  "    nsec: 854775807\n  lifespan:\n    sec: 9223372036\n    nsec: 854775807\n  liveliness: 1\n" +
  "  liveliness_lease_duration:\n    sec: 9223372036\n    nsec: 854775807\n" +
  "  avoid_ros_namespace_conventions: false";

const TOPICS = [
  { name: "/livox/lidar", type: "livox_ros_driver2/msg/CustomMsg", definition: CUSTOM_MSG },
  { name: "/livox/imu", type: "sensor_msgs/msg/Imu", definition: IMU_MSG },
];

const BASE_SEC = 1700000000;
const FRAMES = 12;
const POINTS = 96;
const IMU_PER_FRAME = 4;

const lidarWriter = new MessageWriter(parse(CUSTOM_MSG, { ros2: true }));
const imuWriter = new MessageWriter(parse(IMU_MSG, { ros2: true }));

// Frame ids of several lengths, so that the fields after them land at every alignment.
const FRAME_IDS = ["livox_frame", "l", "lidar_0", "ld"];

// The messages of the recording in log-time order: 10 Hz frames, 40 Hz IMU samples between them.
function messages() {
  const list = [];
  for (let f = 0; f < FRAMES; f++) {
    const stampNs = BigInt(BASE_SEC) * 1000000000n + BigInt(f) * 100000000n + 1000n;
    const points = [];
    for (let p = 0; p < POINTS; p++) {
      points.push({
        offset_time: p * 1000 + f,
        x: 1 + f + p / 8,
        y: -2 + p / 16,
        z: (p % 7) / 4,
        reflectivity: (p * 3 + f) % 256,
        tag: p % 4,
        line: p % 6,
      });
    }
    const frame = {
      header: {
        stamp: { sec: BASE_SEC, nanosec: Number(stampNs % 1000000000n) },
        frame_id: FRAME_IDS[f % FRAME_IDS.length],
      },
      timebase: stampNs,
      point_num: POINTS,
      lidar_id: 1,
      rsvd: new Uint8Array([0, 0, 0]),
      points,
    };
    list.push({ topic: 0, logTime: stampNs, data: lidarWriter.writeMessage(frame) });
    for (let i = 0; i < IMU_PER_FRAME; i++) {
      const t = stampNs + BigInt(i) * 25000000n + 500n;
      const imu = {
        header: { stamp: { sec: BASE_SEC, nanosec: Number(t % 1000000000n) }, frame_id: "imu" },
        orientation: { x: 0, y: 0, z: 0, w: 1 },
        orientation_covariance: new Float64Array(9),
        angular_velocity: { x: 0.01 * i, y: 0.02 * f, z: 0.5 },
        angular_velocity_covariance: new Float64Array(9),
        linear_acceleration: { x: 0.1, y: -0.1 * i, z: 9.81 },
        linear_acceleration_covariance: new Float64Array(9),
      };
      list.push({ topic: 1, logTime: t, data: imuWriter.writeMessage(imu) });
    }
  }
  return list;
}

class BufferWritable {
  chunks = [];
  size = 0n;
  async write(buffer) {
    this.chunks.push(Buffer.from(buffer));
    this.size += BigInt(buffer.byteLength);
  }
  position() {
    return this.size;
  }
  bytes() {
    return Buffer.concat(this.chunks);
  }
}

const COMPRESSORS = {
  none: undefined,
  zstd: (data) => ({ compression: "zstd", compressedData: zstd.compress(data, 3) }),
  lz4: (data) => ({ compression: "lz4", compressedData: Buffer.from(lz4.compress(data)) }),
};

// The metadata.yaml rosbag2 writes for `files` holding `list`.
function metadataYaml(storage, files, list) {
  const first = list[0].logTime;
  const last = list[list.length - 1].logTime;
  let yaml =
    "rosbag2_bagfile_information:\n  version: 5\n  storage_identifier: " + storage + "\n" +
    "  duration:\n    nanoseconds: " + (last - first) + "\n" +
    "  starting_time:\n    nanoseconds_since_epoch: " + first + "\n" +
    "  message_count: " + list.length + "\n  topics_with_message_count:\n";
  TOPICS.forEach((topic, t) => {
    yaml +=
      "    - topic_metadata:\n        name: " + topic.name + "\n        type: " + topic.type + "\n" +
      "        serialization_format: cdr\n        offered_qos_profiles: " + JSON.stringify(QOS) + "\n" +
      "        type_description_hash: \"\"\n" +
      "      message_count: " + list.filter((m) => m.topic === t).length + "\n";
  });
  yaml += "  compression_format: \"\"\n  compression_mode: \"\"\n  relative_file_paths:\n";
  for (const f of files) yaml += "    - " + f + "\n";
  return yaml;
}

// An MCAP file of `list` as rosbag2's MCAP storage lays it out: profile ros2, schemas in
// ros2msg, channels with their QoS text, a Metadata record named rosbag2.
async function mcapBytes(name, list, { compression = "none", chunked = true, startChannelId = 1 } = {}) {
  const writable = new BufferWritable();
  const writer = new McapWriter({
    writable,
    useChunks: chunked,
    chunkSize: 16 * 1024,
    compressChunk: COMPRESSORS[compression],
    startChannelId,
  });
  await writer.start({ profile: "ros2", library: "drone ros2-writers (@mcap/core)" });
  const channels = [];
  for (const topic of TOPICS) {
    const schemaId = await writer.registerSchema({
      name: topic.type,
      encoding: "ros2msg",
      data: new TextEncoder().encode(topic.definition),
    });
    channels.push(
      await writer.registerChannel({
        topic: topic.name,
        schemaId,
        messageEncoding: "cdr",
        metadata: new Map([["offered_qos_profiles", QOS]]),
      }),
    );
  }
  let sequence = 0;
  for (const m of list) {
    await writer.addMessage({
      channelId: channels[m.topic],
      sequence: sequence++,
      logTime: m.logTime,
      publishTime: m.logTime,
      data: m.data,
    });
  }
  await writer.addMetadata({
    name: "rosbag2",
    metadata: new Map([["serialized_metadata", metadataYaml("mcap", [name], list)]]),
  });
  await writer.end();
  return writable.bytes();
}

// The same file with its summary left out: the data section, then a footer without summary.
function withoutSummary(bytes) {
  const footer = bytes.length - 8 - 29;
  const summaryStart = Number(bytes.readBigUInt64LE(footer + 9));
  const end = Buffer.alloc(29 + 8);
  end[0] = 0x02;
  end.writeBigUInt64LE(20n, 1);
  bytes.copy(end, 29, bytes.length - 8);
  return Buffer.concat([bytes.subarray(0, summaryStart), end]);
}

// The expected.txt lines of `name` holding `list`.
function expectedLines(name, list) {
  return TOPICS.map((topic, t) => {
    const mine = list.filter((m) => m.topic === t);
    let crc = 0;
    for (const m of mine) crc = zlib.crc32(m.data, crc);
    const first = mine.length ? mine[0].logTime : 0n;
    const last = mine.length ? mine[mine.length - 1].logTime : 0n;
    return `${name} ${topic.name} ${mine.length} ${first} ${last} ${crc >>> 0}`;
  });
}

function sqlScript(list) {
  let sql =
    "PRAGMA journal_mode=DELETE;\nBEGIN;\n" +
    "CREATE TABLE schema(schema_version INTEGER PRIMARY KEY,ros_distro TEXT NOT NULL);\n" +
    "INSERT INTO schema VALUES (4, 'humble');\n" +
    "CREATE TABLE metadata(id INTEGER PRIMARY KEY,metadata_version INTEGER NOT NULL,metadata TEXT NOT NULL);\n" +
    "CREATE TABLE topics(id INTEGER PRIMARY KEY,name TEXT NOT NULL,type TEXT NOT NULL," +
    "serialization_format TEXT NOT NULL,offered_qos_profiles TEXT NOT NULL,type_description_hash TEXT NOT NULL);\n" +
    "CREATE TABLE message_definitions(id INTEGER PRIMARY KEY,topic_type TEXT NOT NULL,encoding TEXT NOT NULL," +
    "encoded_message_definition TEXT NOT NULL,type_description_hash TEXT NOT NULL);\n" +
    "CREATE TABLE messages(id INTEGER PRIMARY KEY,topic_id INTEGER NOT NULL,timestamp INTEGER NOT NULL, data BLOB NOT NULL);\n" +
    "CREATE INDEX timestamp_idx ON messages (timestamp ASC);\n";
  const quote = (text) => "'" + text.replaceAll("'", "''") + "'";
  TOPICS.forEach((topic, t) => {
    sql += `INSERT INTO topics VALUES (${t + 1}, ${quote(topic.name)}, ${quote(topic.type)}, 'cdr', ${quote(QOS)}, '');\n`;
    sql += `INSERT INTO message_definitions VALUES (${t + 1}, ${quote(topic.type)}, 'ros2msg', ${quote(topic.definition)}, '');\n`;
  });
  list.forEach((m, i) => {
    sql += `INSERT INTO messages VALUES (${i + 1}, ${m.topic + 1}, ${m.logTime}, X'${Buffer.from(m.data).toString("hex")}');\n`;
  });
  return sql + "COMMIT;\n";
}

async function main() {
  await zstd.isLoaded;
  fs.mkdirSync(out, { recursive: true });
  const list = messages();
  const expected = [];
  const save = (name, bytes, held) => {
    fs.writeFileSync(path.join(out, name), bytes);
    expected.push(...expectedLines(name, held));
  };

  save("livox-zstd.mcap", await mcapBytes("livox-zstd.mcap", list, { compression: "zstd" }), list);
  save("livox-lz4.mcap", await mcapBytes("livox-lz4.mcap", list, { compression: "lz4" }), list);
  save("livox-unchunked.mcap", await mcapBytes("livox-unchunked.mcap", list, { chunked: false }), list);
  save("livox-nosummary.mcap", withoutSummary(await mcapBytes("livox-nosummary.mcap", list, { compression: "zstd" })), list);

  // A recording that did not end: plain chunks, the file cut in the middle of a frame, so that
  // the messages stored whole before it are the ones a reader can give.
  const whole = await mcapBytes("livox-cut.mcap", list, { compression: "none" });
  const cutFrame = 2 * Math.floor(FRAMES / 3) * (IMU_PER_FRAME + 1);
  const at = whole.indexOf(Buffer.from(list[cutFrame].data));
  if (at < 0 || whole.indexOf(Buffer.from(list[cutFrame].data), at + 1) >= 0) {
    throw new Error("the frame to cut at is not stored once");
  }
  const cut = whole.subarray(0, at + Math.floor(list[cutFrame].data.length / 2));
  save("livox-cut.mcap", cut, list.slice(0, cutFrame));

  // A split recording: three files, each with its own channel ids, and rosbag2's metadata.yaml.
  const split = path.join(out, "livox-split");
  fs.mkdirSync(split, { recursive: true });
  const third = Math.ceil(list.length / 3);
  const files = [];
  for (let i = 0; i < 3; i++) {
    const name = `livox-split_${i}.mcap`;
    const part = list.slice(i * third, (i + 1) * third);
    fs.writeFileSync(
      path.join(split, name),
      await mcapBytes(name, part, { compression: i === 1 ? "lz4" : "zstd", startChannelId: 1 + 5 * i }),
    );
    files.push(name);
  }
  fs.writeFileSync(path.join(split, "metadata.yaml"), metadataYaml("mcap", files, list));
  expected.push(...expectedLines("livox-split", list));

  // The same recording in rosbag2's SQLite schema, through the sqlite3 command, in a folder.
  const sqlite = path.join(out, "livox-sqlite");
  fs.mkdirSync(sqlite, { recursive: true });
  const db = path.join(sqlite, "livox-sqlite_0.db3");
  fs.rmSync(db, { force: true });
  execFileSync("sqlite3", [db], { input: sqlScript(list) });
  fs.writeFileSync(path.join(sqlite, "metadata.yaml"), metadataYaml("sqlite3", ["livox-sqlite_0.db3"], list));
  expected.push(...expectedLines("livox-sqlite", list));

  fs.writeFileSync(path.join(out, "expected.txt"), expected.join("\n") + "\n");
}

await main();
