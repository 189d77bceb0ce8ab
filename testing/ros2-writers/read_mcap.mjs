// Reads MCAP files with @mcap/core's stream reader, independent of our reader, and prints per
// topic what expected.txt holds:
//   <label> <topic> <messages> <first log time> <last log time> <crc32 of the payloads>
// the CRC over the topic's payloads in log-time order (equal times as stored), the files taken
// one after another as one recording. Chunk CRCs are checked; a file that does not read whole
// is an error.
//
//   node read_mcap.mjs <label> <file.mcap>...

import fs from "node:fs";
import zlib from "node:zlib";

import { McapStreamReader } from "@mcap/core";
import lz4 from "@foxglove/wasm-lz4";
import zstd from "@foxglove/wasm-zstd";

const [label, ...files] = process.argv.slice(2);
if (!label || files.length === 0) {
  console.error("usage: node read_mcap.mjs <label> <file.mcap>...");
  process.exit(2);
}
await zstd.isLoaded;
await lz4.isLoaded;

const topics = new Map(); // topic -> [{ logTime, data }]
for (const file of files) {
  const reader = new McapStreamReader({
    decompressHandlers: {
      zstd: (buffer, size) => zstd.decompress(buffer, Number(size)),
      lz4: (buffer, size) => lz4(buffer, Number(size)),
    },
  });
  reader.append(fs.readFileSync(file));
  const channels = new Map();
  for (let record; (record = reader.nextRecord()); ) {
    if (record.type === "Channel") channels.set(record.id, record.topic);
    if (record.type !== "Message") continue;
    const topic = channels.get(record.channelId);
    if (!topics.has(topic)) topics.set(topic, []);
    topics.get(topic).push({ logTime: record.logTime, data: record.data });
  }
  if (!reader.done()) throw new Error(`${file} does not end as an MCAP file ends`);
}
for (const [topic, list] of topics) {
  list.sort((a, b) => (a.logTime < b.logTime ? -1 : a.logTime > b.logTime ? 1 : 0));
  let crc = 0;
  for (const m of list) crc = zlib.crc32(m.data, crc);
  console.log(`${label} ${topic} ${list.length} ${list[0].logTime} ${list[list.length - 1].logTime} ${crc >>> 0}`);
}
