#pragma once

#include <memory>
#include <ostream>

namespace drone_task {
namespace detail {

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file the
// program opens later takes the place of a standard stream.
void open_standard_descriptors();

// Keeps standard output for the report lines alone: returns a stream over a private duplicate
// of it, then points descriptor 1 at standard error, so that whatever a library prints there
// (std::cout, printf) ends up on standard error. When the duplicate cannot be made, returns a
// stream over std::cout and changes nothing.
std::unique_ptr<std::ostream> claim_standard_output();

}  // namespace detail
}  // namespace drone_task
