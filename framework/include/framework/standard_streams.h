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

// Keeps what a library prints on standard output (std::cout, printf) off it for as long as the
// guard lives: descriptor 1 is pointed at standard error on construction and back at the
// original standard output on destruction; both streams are flushed at either end, so that
// nothing crosses over late. When the original cannot be kept aside, changes nothing. Acts on
// the whole process: guards must not overlap, nor run beside output from other threads.
class StdoutToStderr {
 public:
  StdoutToStderr();
  ~StdoutToStderr();
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_ = -1;  // the original standard output; -1 when it could not be kept aside
};

// Keeps whatever a library prints (std::cout, std::cerr, printf, fprintf to stderr) off both
// standard streams for as long as the guard lives: descriptors 1 and 2 are pointed at /dev/null
// on construction and back at the originals on destruction; both streams are flushed at either
// end, so that nothing crosses over late. For libraries whose diagnostics the program does not
// pass on: its own lines go through a stream of its own (claim_standard_output) or are written
// once the guard is gone. A stream whose original cannot be kept aside is left as it is. Acts on
// the whole process: guards must not overlap, nor run beside output from other threads.
class LibraryOutputSilenced {
 public:
  LibraryOutputSilenced();
  ~LibraryOutputSilenced();
  LibraryOutputSilenced(const LibraryOutputSilenced&) = delete;
  LibraryOutputSilenced& operator=(const LibraryOutputSilenced&) = delete;

 private:
  int saved_[2] = {-1, -1};  // the original standard output and error; -1 when not kept aside
};

}  // namespace drone_task
