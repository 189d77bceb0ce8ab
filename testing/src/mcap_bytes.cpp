#include "testing/mcap_bytes.h"

#include <lz4frame.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <map>
#include <stdexcept>

namespace drone_test {

namespace {

constexpr char kMagic[] = "\x89MCAP0\r\n";

std::string compress(const std::string& compression, const std::string& records) {
  if (compression.empty()) return records;
  std::string out;
  if (compression == "zstd") {
    out.resize(ZSTD_compressBound(records.size()));
    const size_t n = ZSTD_compress(out.data(), out.size(), records.data(), records.size(), 3);
    if (ZSTD_isError(n)) throw std::runtime_error("zstd compression failed");
    out.resize(n);
  } else if (compression == "lz4") {
    out.resize(LZ4F_compressFrameBound(records.size(), nullptr));
    const size_t n =
        LZ4F_compressFrame(out.data(), out.size(), records.data(), records.size(), nullptr);
    if (LZ4F_isError(n)) throw std::runtime_error("lz4 compression failed");
    out.resize(n);
  } else {
    out = records;  // an unknown compression, stored as is
  }
  return out;
}

uint32_t crc_of(const std::string& bytes) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string map_of(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string inner;
  for (const auto& [key, value] : entries) {
    mcap_put_string(inner, key);
    mcap_put_string(inner, value);
  }
  std::string out;
  mcap_put(out, inner.size(), 4);
  return out + inner;
}

}  // namespace

void mcap_put(std::string& out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) {
    out += static_cast<char>(i < sizeof value ? (value >> (8 * i)) & 0xff : 0);
  }
}

void mcap_put_string(std::string& out, const std::string& text) {
  mcap_put(out, text.size(), 4);
  out += text;
}

std::string mcap_record(uint8_t op, const std::string& body) {
  std::string out(1, static_cast<char>(op));
  mcap_put(out, body.size(), 8);
  return out + body;
}

std::string mcap_bytes(const std::vector<McapChannel>& channels,
                       const std::vector<McapMessage>& messages, const McapLayout& layout) {
  std::string definitions;
  for (const McapChannel& c : channels) {
    if (!c.type.empty()) {
      std::string schema;
      mcap_put(schema, c.id, 2);
      mcap_put_string(schema, c.type);
      mcap_put_string(schema, "ros2msg");
      mcap_put_string(schema, c.definition);
      definitions += mcap_record(0x03, schema);
    }
    std::string channel;
    mcap_put(channel, c.id, 2);
    mcap_put(channel, c.type.empty() ? 0 : c.id, 2);
    mcap_put_string(channel, c.topic);
    mcap_put_string(channel, c.encoding);
    channel += map_of(c.metadata);
    definitions += mcap_record(0x04, channel);
  }
  std::string file(kMagic, 8);
  std::string header;
  mcap_put_string(header, "ros2");
  mcap_put_string(header, "drone tests");
  file += mcap_record(0x01, header);
  std::string chunk_indexes;
  size_t chunk_count = 0;
  const auto add_chunk = [&](const std::string& records, uint64_t start, uint64_t end) {
    const std::string stored = compress(layout.compression, records);
    std::string body;
    mcap_put(body, start, 8);
    mcap_put(body, end, 8);
    mcap_put(body, records.size(), 8);
    mcap_put(body, layout.chunk_crc ? crc_of(records) : 0, 4);
    mcap_put_string(body, layout.compression);
    mcap_put(body, stored.size(), 8);
    body += stored;
    std::string index;
    mcap_put(index, start, 8);
    mcap_put(index, end, 8);
    mcap_put(index, file.size(), 8);
    mcap_put(index, body.size() + 9, 8);
    mcap_put(index, 0, 4);  // no message indexes
    mcap_put(index, 0, 8);
    mcap_put_string(index, layout.compression);
    mcap_put(index, stored.size(), 8);
    mcap_put(index, records.size(), 8);
    chunk_indexes += mcap_record(0x08, index);
    file += mcap_record(0x06, body);
    ++chunk_count;
  };
  std::string records = layout.chunked ? definitions : "";
  if (!layout.chunked) file += definitions;
  size_t in_chunk = 0;
  uint64_t start = UINT64_MAX;
  uint64_t end = 0;
  std::map<uint16_t, uint64_t> counts;
  uint64_t first = UINT64_MAX;
  uint64_t last = 0;
  for (const McapMessage& m : messages) {
    std::string body;
    mcap_put(body, m.channel, 2);
    mcap_put(body, m.sequence, 4);
    mcap_put(body, m.log_time, 8);
    mcap_put(body, m.log_time, 8);
    body += m.data;
    ++counts[m.channel];
    first = std::min(first, m.log_time);
    last = std::max(last, m.log_time);
    if (!layout.chunked) {
      file += mcap_record(0x05, body);
      continue;
    }
    records += mcap_record(0x05, body);
    start = std::min(start, m.log_time);
    end = std::max(end, m.log_time);
    if (++in_chunk == layout.messages_per_chunk) {
      add_chunk(records, start, end);
      records.clear();
      in_chunk = 0;
      start = UINT64_MAX;
      end = 0;
    }
  }
  if (layout.chunked && !records.empty()) add_chunk(records, start == UINT64_MAX ? 0 : start, end);
  std::string metadata_indexes;
  for (const auto& [name, entries] : layout.metadata) {
    std::string body;
    mcap_put_string(body, name);
    body += map_of(entries);
    std::string index;
    mcap_put(index, file.size(), 8);
    mcap_put(index, body.size() + 9, 8);
    mcap_put_string(index, name);
    metadata_indexes += mcap_record(0x0D, index);
    file += mcap_record(0x0C, body);
  }
  std::string data_end;
  mcap_put(data_end, 0, 4);
  file += mcap_record(0x0F, data_end);
  uint64_t summary_start = 0;
  if (layout.summary) {
    summary_start = file.size();
    file += definitions;
    std::string statistics;
    mcap_put(statistics, messages.size(), 8);
    mcap_put(statistics, channels.size(), 2);
    mcap_put(statistics, channels.size(), 4);
    mcap_put(statistics, 0, 4);
    mcap_put(statistics, layout.metadata.size(), 4);
    mcap_put(statistics, chunk_count, 4);
    mcap_put(statistics, messages.empty() ? 0 : first, 8);
    mcap_put(statistics, last, 8);
    std::string count_map;
    for (const auto& [id, count] : counts) {
      mcap_put(count_map, id, 2);
      mcap_put(count_map, count, 8);
    }
    mcap_put(statistics, count_map.size(), 4);
    statistics += count_map;
    file += mcap_record(0x0B, statistics) + chunk_indexes + metadata_indexes;
  }
  std::string footer;
  mcap_put(footer, summary_start, 8);
  mcap_put(footer, 0, 8);
  // The summary's CRC covers it and the footer up to this field.
  const std::string covered = layout.summary ? file.substr(summary_start) +
                                                   std::string("\x02\x14\0\0\0\0\0\0\0", 9) + footer
                                             : std::string();
  mcap_put(footer, layout.summary ? crc_of(covered) : 0, 4);
  file += mcap_record(0x02, footer);
  return file + std::string(kMagic, 8);
}

}  // namespace drone_test
