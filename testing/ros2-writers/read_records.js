// Reads an MCAP file with the reference readers of the format (@mcap/core) and prints what it
// holds, one tab-separated line a record, for the tests to compare with what they wrote:
//   HEADER profile library                                   after the data section's and
//                                                            the summary's CRCs are checked
//   SCHEMA id name encoding hex(data)
//   CHANNEL id topic message_encoding schema_id hex(key) hex(value)...
//   STATISTICS messages schemas channels chunks metadata start end
//   METADATA name hex(key) hex(value)...
//   STREAM topic log_time publish_time sequence hex(data)    every message in file order, read
//                                                            record by record, CRCs checked
//   INDEXED topic log_time publish_time sequence hex(data)   every message through the summary,
//                                                            chunk and message indexes
//   CLOUD topic sec nanosec frame_id height width fields is_bigendian point_step row_step
//         is_dense hex(data)                                 each sensor_msgs/msg/PointCloud2
//                                                            decoded from its ros2msg schema
// Chunks compressed with zstd are decompressed by the zstd command.
"use strict";
const fs = require("fs");
const zlib = require("zlib");
const { execFileSync } = require("child_process");
const { McapIndexedReader, McapStreamReader } = require("@mcap/core");
const { parse } = require("@foxglove/rosmsg");
const { MessageReader } = require("@foxglove/rosmsg2-serialization");

const hex = (bytes) => Buffer.from(bytes).toString("hex");
const entries = (map) => [...map.entries()].flatMap(([k, v]) => [hex(Buffer.from(k)), hex(Buffer.from(v))]);
const decompressHandlers = {
  zstd: (data, size) => {
    const out = execFileSync("zstd", ["-d", "-c", "-q"], { input: data });
    if (BigInt(out.length) !== size) throw new Error("zstd chunk of the wrong size");
    return new Uint8Array(out);
  },
};
const print = (...fields) => process.stdout.write(fields.join("\t") + "\n");

async function main(path) {
  const bytes = fs.readFileSync(path);

  const stream = new McapStreamReader({ validateCrcs: true, decompressHandlers });
  stream.append(bytes);
  const topics = new Map();
  for (let record; (record = stream.nextRecord()) !== undefined; ) {
    if (record.type === "Channel") topics.set(record.id, record.topic);
    if (record.type === "Message") {
      print("STREAM", topics.get(record.channelId), record.logTime, record.publishTime,
            record.sequence, hex(record.data));
    }
  }
  if (!stream.done()) throw new Error("the file does not end where its records end");

  const readable = {
    size: async () => BigInt(bytes.length),
    read: async (offset, size) => bytes.subarray(Number(offset), Number(offset + size)),
  };
  const reader = await McapIndexedReader.Initialize({ readable, decompressHandlers });
  print("HEADER", reader.header.profile, reader.header.library);
  // The data section's and the summary's CRCs, which the readers leave unchecked, computed anew
  // where stored (0: the writer computed none).
  const dataCrc = zlib.crc32(bytes.subarray(0, Number(reader.dataEndOffset)));
  if (reader.dataSectionCrc && reader.dataSectionCrc !== dataCrc) {
    throw new Error(`data section CRC ${reader.dataSectionCrc}, computed ${dataCrc}`);
  }
  const summaryEnd = bytes.length - 8 - 4;  // the end magic, then the footer's summary_crc
  const summaryCrc = zlib.crc32(bytes.subarray(Number(reader.footer.summaryStart), summaryEnd));
  if (reader.footer.summaryCrc !== 0 && reader.footer.summaryCrc !== summaryCrc) {
    throw new Error(`summary CRC ${reader.footer.summaryCrc}, computed ${summaryCrc}`);
  }
  for (const schema of reader.schemasById.values()) {
    print("SCHEMA", schema.id, schema.name, schema.encoding, hex(schema.data));
  }
  for (const channel of reader.channelsById.values()) {
    print("CHANNEL", channel.id, channel.topic, channel.messageEncoding, channel.schemaId,
          ...entries(channel.metadata));
  }
  const stats = reader.statistics;
  print("STATISTICS", stats.messageCount, stats.schemaCount, stats.channelCount, stats.chunkCount,
        stats.metadataCount, stats.messageStartTime, stats.messageEndTime);
  for await (const metadata of reader.readMetadata()) {
    print("METADATA", metadata.name, ...entries(metadata.metadata));
  }
  const decoders = new Map();
  for await (const message of reader.readMessages({ validateCrcs: true })) {
    const channel = reader.channelsById.get(message.channelId);
    print("INDEXED", channel.topic, message.logTime, message.publishTime, message.sequence,
          hex(message.data));
    const schema = reader.schemasById.get(channel.schemaId);
    if (!schema || schema.name !== "sensor_msgs/msg/PointCloud2") continue;
    if (!decoders.has(schema.id)) {
      const definition = new TextDecoder().decode(schema.data);
      decoders.set(schema.id, new MessageReader(parse(definition, { ros2: true })));
    }
    const cloud = decoders.get(schema.id).readMessage(message.data);
    const fields = cloud.fields.map((f) => `${f.name}:${f.offset}:${f.datatype}:${f.count}`);
    print("CLOUD", channel.topic, cloud.header.stamp.sec, cloud.header.stamp.nanosec,
          cloud.header.frame_id, cloud.height, cloud.width, fields.join(","), cloud.is_bigendian,
          cloud.point_step, cloud.row_step, cloud.is_dense, hex(cloud.data));
  }
}

main(process.argv[2]).catch((error) => {
  process.stderr.write(`read_mcap: ${error.stack || error}\n`);
  process.exit(1);
});
