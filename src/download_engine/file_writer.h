#pragma once
// The write path of a download's temporary file, shared by the segment
// transfers and the resume-record writer.

#include <cstdint>

namespace ns_PEM {

class IFileWriter {
 public:
  virtual ~IFileWriter() = default;
  // Writes `length` bytes of `data` at `offset`, the whole length or nothing
  // counted. With `set_end` the file ends right after the written bytes.
  // Returns `length` on success, 0 on failure. Safe from any thread.
  virtual int64_t WriteAt(int64_t offset, int64_t length, const char* data, bool set_end) = 0;
};

}  // namespace ns_PEM
