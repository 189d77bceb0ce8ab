#include "testing/bag_bytes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

#include "testing/temp_dir.h"

namespace drone_test {

namespace {

// The records stored between `begin` and `end`, one after the other.
std::vector<BagRecord> records_between(const std::string& bytes, size_t begin, size_t end) {
  std::vector<BagRecord> out;
  for (size_t pos = begin; pos < end;) {
    BagRecord r;
    r.pos = pos;
    r.header_len = get_u32(bytes, pos);
    r.header_pos = pos + 4;
    r.data_len = get_u32(bytes, r.header_pos + r.header_len);
    r.data_pos = r.header_pos + r.header_len + 4;
    const size_t op = field_at(bytes, r.header_pos, r.header_len, "op");
    if (op == std::string::npos) throw std::runtime_error("a record without op");
    r.op = static_cast<uint8_t>(bytes.at(op + 7));  // <length>"op="<value>
    out.push_back(r);
    pos = r.data_pos + r.data_len;
  }
  return out;
}

}  // namespace

uint32_t get_u32(const std::string& bytes, size_t pos) {
  if (pos > bytes.size() || bytes.size() - pos < 4) {
    throw std::out_of_range("a length word past the end of the file");
  }
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + pos, 4);
  return value;
}

void put_u32(std::string& bytes, size_t pos, uint32_t value) {
  if (pos > bytes.size() || bytes.size() - pos < 4) {
    throw std::out_of_range("a length word past the end of the file");
  }
  std::memcpy(&bytes[pos], &value, 4);
}

size_t field_at(const std::string& bytes, size_t header_pos, uint32_t header_len,
                const std::string& name) {
  const std::string prefix = name + "=";
  for (size_t at = header_pos; at < header_pos + header_len;) {
    const uint32_t len = get_u32(bytes, at);
    if (bytes.compare(at + 4, prefix.size(), prefix) == 0) return at;
    at += 4 + len;
  }
  return std::string::npos;
}

std::vector<BagRecord> bag_records(const std::string& bytes) {
  const size_t newline = bytes.find('\n');
  if (newline == std::string::npos) throw std::runtime_error("no version line");
  return records_between(bytes, newline + 1, bytes.size());
}

BagRecord record_with_op(const std::string& bytes, uint8_t op, size_t n) {
  for (const BagRecord& r : bag_records(bytes)) {
    if (r.op == op && n-- == 0) return r;
  }
  throw std::runtime_error("no such record");
}

std::vector<size_t> message_length_fields(const std::string& bag_bytes) {
  std::vector<size_t> found;
  for (const BagRecord& r : bag_records(bag_bytes)) {
    if (r.op == kOpMessageData) found.push_back(r.data_pos - 4);
    if (r.op != kOpChunk) continue;
    const size_t compression = field_at(bag_bytes, r.header_pos, r.header_len, "compression");
    if (compression == std::string::npos ||
        bag_bytes.compare(compression + 4, get_u32(bag_bytes, compression), "compression=none") !=
            0) {
      continue;
    }
    for (const BagRecord& inner : records_between(bag_bytes, r.data_pos, r.data_pos + r.data_len)) {
      if (inner.op == kOpMessageData) found.push_back(inner.data_pos - 4);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

DamagedBag with_field_past_header(const std::string& bag_bytes) {
  DamagedBag out{bag_bytes, 0};
  const BagRecord r = record_with_op(out.bytes, kOpConnection);
  const size_t topic = field_at(out.bytes, r.header_pos, r.header_len, "topic");
  if (topic == std::string::npos) throw std::runtime_error("a connection record without topic");
  put_u32(out.bytes, topic, 999999);
  out.fault_at = r.pos;
  return out;
}

DamagedBag with_time_zero_on_undefined_connection(const std::string& bag_bytes,
                                                  uint32_t connection) {
  DamagedBag out{bag_bytes, 0};
  const BagRecord r = record_with_op(out.bytes, kOpIndexData);
  const size_t conn = field_at(out.bytes, r.header_pos, r.header_len, "conn");
  if (conn == std::string::npos) throw std::runtime_error("an index record without conn");
  put_u32(out.bytes, conn + 9, connection);  // <length>"conn="<id>
  put_u32(out.bytes, r.data_pos, 0);         // seconds of the first entry
  put_u32(out.bytes, r.data_pos + 4, 0);     // nanoseconds
  out.fault_at = r.data_pos;
  return out;
}

std::string with_last_message_overstated(const std::string& bag_bytes, uint32_t extra) {
  const std::vector<size_t> lengths = message_length_fields(bag_bytes);
  if (lengths.empty()) throw std::runtime_error("the bag holds no message record to damage");
  std::string damaged = bag_bytes;
  put_u32(damaged, lengths.back(), get_u32(damaged, lengths.back()) + extra);
  return damaged;
}

std::vector<OpenCrashCase> open_crash_cases(const std::string& bag_bytes) {
  const DamagedBag past = with_field_past_header(bag_bytes);
  const DamagedBag zero = with_time_zero_on_undefined_connection(bag_bytes);
  std::string huge = bag_bytes;
  const BagRecord connection = record_with_op(huge, kOpConnection);
  put_u32(huge, connection.pos, 0x8A000000);
  return {
      {"field past its header", past.bytes,
       "record header at byte " + std::to_string(past.fault_at) +
           " has a field that runs past the header's end"},
      {"time 0 on an undefined connection", zero.bytes,
       "index entry at byte " + std::to_string(zero.fault_at) +
           " has time 0 on connection 99, which the bag does not define"},
      {"header length past the file", huge,
       "record header at byte " + std::to_string(connection.pos) + " states " +
           std::to_string(0x8A000000u) + " bytes, more than the file holds"},
  };
}

std::vector<OpenCrashCase> read_crash_cases(const std::string& bag_bytes) {
  const std::vector<BagRecord> records = bag_records(bag_bytes);
  size_t c = 0;
  while (c < records.size() && records[c].op != kOpChunk) ++c;
  if (c + 2 >= records.size() || records[c + 1].op != kOpIndexData ||
      records[c + 2].op != kOpIndexData) {
    throw std::runtime_error("the bag has no chunk with two connections to damage");
  }
  const BagRecord& chunk = records[c];
  const uint32_t chunk_size =
      get_u32(bag_bytes, field_at(bag_bytes, chunk.header_pos, chunk.header_len, "size") + 9);
  const std::vector<BagRecord> inner =
      records_between(bag_bytes, chunk.data_pos, chunk.data_pos + chunk.data_len);
  if (inner.empty() || inner.back().op != kOpMessageData) {
    throw std::runtime_error("the first chunk does not end with a message");
  }
  const std::string in_chunk = " of the chunk at byte " + std::to_string(chunk.pos);
  auto record_at = [&](size_t pos) {
    return "message record at offset " + std::to_string(pos - chunk.data_pos) + in_chunk;
  };

  std::vector<OpenCrashCase> cases;
  for (const size_t n : {1, 2}) {
    const size_t entry = records[c + n].data_pos;
    std::string bytes = bag_bytes;
    put_u32(bytes, entry + 8, chunk_size);
    cases.push_back({n == 1 ? "index entry of the first connection past its chunk"
                            : "index entry of the second connection past its chunk",
                     bytes,
                     "index entry at byte " + std::to_string(entry) + " points at offset " +
                         std::to_string(chunk_size) + in_chunk + ", which holds " +
                         std::to_string(chunk_size) + " bytes"});
  }

  const size_t first = chunk.data_pos + get_u32(bag_bytes, records[c + 1].data_pos + 8);
  std::string bytes = bag_bytes;
  put_u32(bytes, first, 0x7fffffff);
  cases.push_back({"header length of a record past its chunk", bytes,
                   record_at(first) + " runs past the chunk's end"});
  bytes = bag_bytes;
  put_u32(bytes, first + 4, get_u32(bytes, first) - 4 + 1);
  cases.push_back({"header field past its record's header", bytes,
                   record_at(first) + " has a field that runs past its header's end"});

  const BagRecord& last = inner.back();
  for (const uint32_t extra : {0x10000000u, 704u}) {
    bytes = bag_bytes;
    put_u32(bytes, last.data_pos - 4, last.data_len + extra);
    cases.push_back({extra > 704 ? "last record's data length far past its chunk"
                                 : "last record's data length just past its chunk",
                     bytes,
                     record_at(last.pos) + " states " + std::to_string(last.data_len + extra) +
                         " data bytes, past the chunk's end"});
  }
  return cases;
}

std::string with_chunk_bytes_changed(const std::string& bag_bytes, uint32_t seed) {
  std::vector<std::pair<size_t, size_t>> spans;  // data position, length
  size_t total = 0;
  for (const BagRecord& r : bag_records(bag_bytes)) {
    if (r.op != kOpChunk || r.data_len == 0) continue;
    spans.emplace_back(r.data_pos, r.data_len);
    total += r.data_len;
  }
  if (total == 0) throw std::runtime_error("the bag has no chunk data to change");
  std::mt19937 rng(seed);
  std::string changed = bag_bytes;
  const uint32_t count = 1 + rng() % 8;
  for (uint32_t i = 0; i < count; ++i) {
    size_t at = rng() % total;
    for (const auto& span : spans) {
      if (at < span.second) {
        at += span.first;
        break;
      }
      at -= span.second;
    }
    // Never a change to the same value.
    const uint8_t old = static_cast<uint8_t>(changed[at]);
    uint8_t value = static_cast<uint8_t>(rng() & 0xFF);
    if (value == old) value = static_cast<uint8_t>(old ^ 0x80);
    changed[at] = static_cast<char>(value);
  }
  return changed;
}

uint32_t bag_mutant_count() {
  const char* setting = std::getenv("DRONE_BAG_MUTANTS");
  return setting != nullptr && *setting != '\0' ? static_cast<uint32_t>(std::stoul(setting)) : 12;
}

std::string chunk_contents(const std::string& bag_bytes, const BagRecord& chunk) {
  const size_t compression_at =
      field_at(bag_bytes, chunk.header_pos, chunk.header_len, "compression");
  const size_t size_at = field_at(bag_bytes, chunk.header_pos, chunk.header_len, "size");
  if (compression_at == std::string::npos || size_at == std::string::npos) {
    throw std::runtime_error("a chunk header without compression or size");
  }
  const std::string compression =
      bag_bytes.substr(compression_at + 16, get_u32(bag_bytes, compression_at) - 12);
  const uint32_t size = get_u32(bag_bytes, size_at + 9);  // <length>"size="<value>
  const std::string stored = bag_bytes.substr(chunk.data_pos, chunk.data_len);
  std::string out(size, '\0');
  const std::string fault =
      bag_format::decompress_chunk(compression, reinterpret_cast<const uint8_t*>(stored.data()),
                                   static_cast<uint32_t>(stored.size()),
                                   reinterpret_cast<uint8_t*>(out.data()), size, chunk.pos);
  if (!fault.empty()) throw std::runtime_error(fault);
  return out;
}

std::vector<IndexedMessage> indexed_messages(const std::string& bag_bytes) {
  std::vector<IndexedMessage> found;
  std::string contents;
  for (const BagRecord& r : bag_records(bag_bytes)) {
    if (r.op == kOpChunk) contents = chunk_contents(bag_bytes, r);
    if (r.op != kOpIndexData) continue;
    const uint32_t connection =
        get_u32(bag_bytes, field_at(bag_bytes, r.header_pos, r.header_len, "conn") + 9);
    for (size_t e = r.data_pos; e + 12 <= r.data_pos + r.data_len; e += 12) {
      IndexedMessage m;
      m.connection = connection;
      m.sec = get_u32(bag_bytes, e);
      m.nsec = get_u32(bag_bytes, e + 4);
      for (size_t at = get_u32(bag_bytes, e + 8);;) {
        const uint32_t header_len = get_u32(contents, at);
        const size_t op = field_at(contents, at + 4, header_len, "op");
        if (op == std::string::npos) throw std::runtime_error("a record without op");
        const uint8_t op_value = static_cast<uint8_t>(contents.at(op + 7));
        const size_t data_pos = at + 4 + header_len + 4;
        const uint32_t data_len = get_u32(contents, data_pos - 4);
        if (op_value == bag_format::kOpMessageDefinition || op_value == kOpConnection) {
          at = data_pos;
          continue;
        }
        if (op_value != kOpMessageData) throw std::runtime_error("not a message record");
        if (data_len > contents.size() - data_pos) {
          throw std::runtime_error("a message record past its chunk");
        }
        m.data = contents.substr(data_pos, data_len);
        m.record_sec = m.sec;
        m.record_nsec = m.nsec;
        const size_t time = field_at(contents, at + 4, header_len, "time");
        if (time != std::string::npos && get_u32(contents, time) == 5 + 8) {
          m.record_sec = get_u32(contents, time + 4 + 5);
          m.record_nsec = get_u32(contents, time + 4 + 5 + 4);
        }
        break;
      }
      found.push_back(std::move(m));
    }
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const IndexedMessage& a, const IndexedMessage& b) {
                     return a.sec != b.sec ? a.sec < b.sec : a.nsec < b.nsec;
                   });
  return found;
}

std::string without_chunk_info(const std::string& bag_bytes, size_t n) {
  const BagRecord info = record_with_op(bag_bytes, kOpChunkInfo, n);
  std::string out = bag_bytes;
  out.erase(info.pos, info.data_pos + info.data_len - info.pos);
  const BagRecord header = record_with_op(out, kOpFileHeader);
  const size_t count = field_at(out, header.header_pos, header.header_len, "chunk_count");
  if (count == std::string::npos) throw std::runtime_error("a file header without chunk_count");
  const size_t value = count + 4 + std::string("chunk_count=").size();
  put_u32(out, value, get_u32(out, value) - 1);
  return out;
}

std::string as_unclosed_recording(const std::string& bag_bytes) {
  std::string out = bag_bytes;
  const BagRecord header = record_with_op(out, kOpFileHeader);
  uint32_t index_pos = 0;
  for (const BagRecord& r : bag_records(out)) {
    if (r.op == kOpConnection) {
      index_pos = static_cast<uint32_t>(r.pos);
      break;
    }
  }
  if (index_pos != 0) out.resize(index_pos);
  for (const char* name : {"index_pos", "conn_count", "chunk_count"}) {
    const size_t at = field_at(out, header.header_pos, header.header_len, name);
    if (at == std::string::npos)
      throw std::runtime_error("a file header without " + std::string(name));
    const size_t value = at + 4 + std::string(name).size() + 1;
    put_u32(out, value, 0);
    if (std::string(name) == "index_pos") put_u32(out, value + 4, 0);
  }
  return out;
}

std::string with_connection_renumbered(const std::string& bag_bytes, uint32_t from, uint32_t to) {
  std::string out = bag_bytes;
  const auto renumber = [&](size_t header_pos, uint32_t header_len) {
    const size_t at = field_at(out, header_pos, header_len, "conn");
    if (at != std::string::npos && get_u32(out, at + 9) == from) put_u32(out, at + 9, to);
  };
  for (const BagRecord& r : bag_records(out)) {
    renumber(r.header_pos, r.header_len);
    if (r.op != kOpChunk) continue;
    for (size_t at = r.data_pos; at < r.data_pos + r.data_len;) {
      const uint32_t header_len = get_u32(out, at);
      renumber(at + 4, header_len);
      at += 8 + header_len + get_u32(out, at + 4 + header_len);
    }
  }
  return out;
}

std::vector<NamedFile> damaged_copies(const std::string& bag_path, const std::string& dir) {
  const std::string valid = read_file(bag_path);

  std::vector<NamedFile> out;
  const size_t magic = 13;          // "#ROSBAG V2.0\n"
  const size_t header = 13 + 4096;  // the magic and the padded file header record
  const std::vector<size_t> cuts = {1,
                                    5,
                                    magic,
                                    magic + 7,
                                    magic + 40,
                                    header,
                                    header + 9,
                                    valid.size() / 4,
                                    valid.size() / 2,
                                    valid.size() * 3 / 4,
                                    valid.size() - 200,
                                    valid.size() - 1};
  for (const size_t cut : cuts) {
    const std::string path = dir + "/cut_" + std::to_string(cut) + ".bag";
    write_file(path, valid.substr(0, cut));
    out.push_back({"cut at " + std::to_string(cut) + " of " + std::to_string(valid.size()), path});
  }

  const std::string field_past_header = dir + "/field_past_header.bag";
  write_file(field_past_header, with_field_past_header(valid).bytes);
  out.push_back({"a field length running past its header", field_past_header});
  const std::string time_zero = dir + "/time_zero_unknown_connection.bag";
  write_file(time_zero, with_time_zero_on_undefined_connection(valid).bytes);
  out.push_back({"an index entry at time 0 on an undefined connection", time_zero});

  for (const unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(rng() & 0xFF);
    const std::string after_magic = dir + "/noise_" + std::to_string(seed) + ".bag";
    write_file(after_magic, valid.substr(0, magic) + noise);
    out.push_back({"random bytes after the magic, seed " + std::to_string(seed), after_magic});
    const std::string after_header = dir + "/noise_header_" + std::to_string(seed) + ".bag";
    write_file(after_header, valid.substr(0, header) + noise);
    out.push_back(
        {"random bytes after a valid file header, seed " + std::to_string(seed), after_header});
  }
  return out;
}

}  // namespace drone_test
