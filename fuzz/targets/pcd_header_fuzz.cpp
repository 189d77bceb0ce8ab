// The PCD header reader on any bytes stored as a PCD file.
#include <sys/stat.h>

#include "fuzz_input.h"
#include "pcd_header/pcd_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const drone_fuzz::InputFile pcd(data, size, "input.pcd");
  const pcd_header::PcdHeader header = pcd_header::read(pcd.path());
  drone_fuzz::expect(header.ok == header.reason.empty(), "reason iff refused");
  if (header.ok) {
    drone_fuzz::expect(!header.fields.empty(), "fields of an accepted header");
    drone_fuzz::expect(header.data_offset <= size, "data starts inside the file");
  }
  return 0;
}
