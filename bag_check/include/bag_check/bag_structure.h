#pragma once

#include <string>

namespace bag_check {

// Refuses a bag input that is not a regular file, then reads the records of the bag at `path`
// that the bag library reads (for a version 2.0 bag: the file header, the connection records,
// the chunk-info records, then each chunk's header and the index records after it, never a
// chunk's data: what it reads to open a bag and list its index) and looks for damage that would
// make the library read out of bounds or block:
//   - "<path> is not a regular file (a FIFO)" (or a directory, a character device, a block
//     device, a socket); a FIFO is opened without waiting for a writer;
//   - "record header at byte N states L bytes, more than the file holds" (for L above 4 MiB);
//   - "record header at byte N has a field that runs past the header's end";
//   - "index entry at byte N has time 0 on connection C, which the bag does not define";
//   - "index entry at byte N points at offset O of the chunk at byte P, which holds S bytes";
// and, when nothing above is found, an index that does not list exactly the stored chunks (see
// check_index_covers_chunks).
// N, P count from the start of the file; O counts from the start of the chunk's uncompressed
// data. The readers of messages check the chunks' records themselves, as they read them
// (bag_reader.h). Returns the first fault found, or "" when the bag library may read the file. A
// file that the library refuses on its own (missing, unreadable, not a bag, cut short, another
// format version, encrypted, an unknown compression) also gives "", so that the library's refusal
// and its own text stand. Throws nothing but std::bad_alloc; writes nothing.
std::string check_structure(const std::string& path);

}  // namespace bag_check
