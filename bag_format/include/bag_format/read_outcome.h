#pragma once

// How a bag was read, as every program that reads one reports it: through its index, or from its
// chunks because the recording was not closed or its index leaves chunks out.

#include <cstdint>
#include <string>

namespace bag_format {

struct ReadOutcome {
  // False when the file header gives no index (position 0), one past the end of the file, or an
  // index section that does not read: the recording was not closed, and its chunks were walked.
  bool recording_closed = true;
  // The index section listed exactly the stored chunks and was used; false whenever the chunks
  // were walked instead (recording_closed false, or an index that leaves chunks out).
  bool index_complete = true;
  // Bytes at the end of the file that hold no whole record (a chunk cut short); their messages
  // are lost.
  uint64_t unreadable_bytes = 0;
};

// The progress line that says a bag was read from its chunks, `done` naming what was done with
// them ("统计", "检查", "转换"): "录制未正常结束（bag 没有索引），已按数据块<done>" or
// "bag 的索引不完整，已按数据块<done>", followed by "，末尾 N 字节无法读取" when N bytes at the end
// hold no whole record; empty for a bag read through its index.
inline std::string read_note(const ReadOutcome& read, const std::string& done) {
  if (read.recording_closed && read.index_complete) return "";
  std::string note = read.recording_closed ? "bag 的索引不完整，已按数据块" + done
                                           : "录制未正常结束（bag 没有索引），已按数据块" + done;
  if (read.unreadable_bytes > 0) {
    note += "，末尾 " + std::to_string(read.unreadable_bytes) + " 字节无法读取";
  }
  return note;
}

}  // namespace bag_format
