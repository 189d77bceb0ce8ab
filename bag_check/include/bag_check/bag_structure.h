#pragma once

#include <string>

namespace bag_check {

// How much of a bag the structure check reads.
enum class Scope {
  // What the bag library reads while it opens the bag: record headers and index entries, never
  // a chunk's data. For readers that only list the index.
  kIndex,
  // Also every chunk's data, decompressed once, and the message record that each index entry
  // points at. For readers that read messages.
  kMessages,
};

// Refuses a bag input that is not a regular file, then reads the records of the bag at `path`
// that the bag library reads (for a version 2.0 bag: the file header, the connection records,
// the chunk-info records, then each chunk's header and the index records after it; with
// Scope::kMessages also each chunk's data) and looks for damage that would make the library read
// out of bounds or block:
//   - "<path> is not a regular file (a FIFO)" (or a directory, a character device, a block
//     device, a socket); a FIFO is opened without waiting for a writer;
//   - "record header at byte N states L bytes, more than the file holds" (for L above 4 MiB);
//   - "record header at byte N has a field that runs past the header's end";
//   - "index entry at byte N has time 0 on connection C, which the bag does not define";
//   - "index entry at byte N points at offset O of the chunk at byte P, which holds S bytes";
// and with Scope::kMessages, for the record at offset O of the chunk at byte P that an index
// entry points at (or a chunk itself):
//   - "message record at offset O of the chunk at byte P runs past the chunk's end";
//   - "message record at offset O of the chunk at byte P has a field that runs past its
//     header's end";
//   - "message record at offset O of the chunk at byte P states D data bytes, past the chunk's
//     end";
//   - "chunk at byte P cannot be decompressed (<codec> error E)";
//   - "chunk at byte P decompresses to N bytes, not the S its header states";
// and, when nothing above is found, an index that does not list exactly the stored chunks (see
// check_index_covers_chunks).
// N, P count from the start of the file; O counts from the start of the chunk's uncompressed
// data. Returns the first fault found, or "" when the bag library may read the file. A file that
// the library refuses on its own (missing, unreadable, not a bag, cut short, another format
// version, encrypted, an unknown compression) also gives "", so that the library's refusal and
// its own text stand. Throws nothing but std::bad_alloc; writes nothing. Memory: with
// Scope::kMessages, about one chunk (compressed and uncompressed).
std::string check_structure(const std::string& path, Scope scope = Scope::kIndex);

}  // namespace bag_check
