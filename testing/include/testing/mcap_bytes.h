#pragma once

// MCAP files built in memory for tests: channels and messages laid out in chunks (plain, zstd or
// lz4) or loose, with or without a summary, and single records to damage or splice in.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace drone_test {

struct McapChannel {
  uint16_t id = 1;
  std::string topic;
  std::string type;  // the schema's name; a channel of an empty type has no schema
  std::string encoding = "cdr";
  std::vector<std::pair<std::string, std::string>> metadata;
  std::string definition = "string data";  // the schema's ros2msg definition text
};

struct McapMessage {
  uint16_t channel = 1;
  uint64_t log_time = 0;
  std::string data;
  uint32_t sequence = 0;
};

struct McapLayout {
  std::string compression;  // chunk compression: "", "zstd" or "lz4"
  bool chunked = true;      // messages in chunks, else loose in the data section
  size_t messages_per_chunk = 2;
  bool summary = true;    // summary (schemas, channels, statistics, chunk indexes), footer
  bool chunk_crc = true;  // the chunks' CRCs stored, else 0
  // Metadata records written after the messages, each a name and its entries.
  std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>> metadata;
};

// A whole MCAP file: magic, header (profile "ros2"), the channels' schemas and channels in the
// first chunk (or loose before the messages), the messages in the order given, then the data end,
// summary, footer and magic as `layout` says. Without a summary the file still ends with a footer
// and the magic.
std::string mcap_bytes(const std::vector<McapChannel>& channels,
                       const std::vector<McapMessage>& messages, const McapLayout& layout = {});

// One record: opcode, length, body.
std::string mcap_record(uint8_t op, const std::string& body);
// Little-endian fields, strings and byte arrays as MCAP stores them; `bytes` past 8 are zeros.
void mcap_put(std::string& out, uint64_t value, size_t bytes);
void mcap_put_string(std::string& out, const std::string& text);

}  // namespace drone_test
