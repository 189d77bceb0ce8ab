#pragma once

#include <string>

namespace bag_check {

// Compares the chunk-info records of the index section of the bag at `path` with the chunk
// records stored between its file header and its index. Readers that go by the index alone (the
// bag library, the statistics) would otherwise count only the chunks it lists and report that
// part as the whole bag. Returns "" when both list the same chunks, and also when the file is no
// indexed, unencrypted version 2.0 bag whose index section reads (those are refused, or read,
// elsewhere); otherwise the first difference:
//   - "the index lists K of the bag's M chunks and is incomplete: the chunk at byte P is not
//     among them";
//   - "the index lists a chunk at byte P, where the bag stores none".
// Reads record headers only, never a chunk's data or an index entry: the work grows with the
// numbers of chunks and connections. Bytes after the last chunk's index records that are no
// record (padding before the index) end the walk. Throws nothing but std::bad_alloc.
std::string check_index_covers_chunks(const std::string& path);

}  // namespace bag_check
