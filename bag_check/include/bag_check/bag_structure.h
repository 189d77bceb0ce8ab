#pragma once

#include <string>

namespace bag_check {

// Reads the records that the bag library reads while it opens the bag at `path` (for a version
// 2.0 bag: the file header, the connection records, the chunk-info records, then each chunk's
// header and the index records after it; record headers and index entries only, never a chunk's
// data) and looks for damage that would make the library read out of bounds while opening it:
// a record header field whose stated length runs past the header's end, or an index entry stamped
// at time 0 on a connection the bag does not define. Returns the first such fault as text
// ("record header at byte N has a field that runs past the header's end", "index entry at byte N
// has time 0 on connection C, which the bag does not define"; N counts from the start of the
// file), or "" when the bag library may open the file. A file that the library refuses on its own
// (missing, unreadable, not a bag, cut short, another format version, encrypted) also gives "",
// so that the library's refusal and its own text stand. Throws nothing but std::bad_alloc;
// writes nothing.
std::string check_structure(const std::string& path);

}  // namespace bag_check
