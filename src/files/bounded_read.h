// Reading a file named on a command line, whole, when it can be what the program expects.
//
// A name on a command line can be anything: a directory, a device that never ends
// (/dev/zero), a FIFO that no one writes to, a sparse file of gigabytes. ReadBoundedFile reads
// only a regular file, only when its size is at most the largest that can be valid for that
// input, and never more than that many bytes (a file that grows or shrinks while it is read
// is refused, not followed). Everything else is a refusal that names the file and the reason.
//
// Non-regular files are refused from their status, before they are opened, so a FIFO is never
// opened (opening one without a writer would block). A file swapped for a FIFO between the
// look and the open is the one case left; only a platform open flag could close it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vqr::files {

enum class ReadProblem {
  kNone,
  kMissing,     // no such file
  kNotRegular,  // a directory, a device, a FIFO, a socket
  kTooLarge,    // more bytes than `limit`
  kUnreadable,  // the system refused it (permissions, an I/O error)
  kChanged,     // its size changed while it was read, or it is a pseudo-file of no set size
};

struct ReadResult {
  ReadProblem problem = ReadProblem::kNone;
  std::string path;
  std::string reason;  // for a refusal: "a directory, not a regular file", ...
  bool Ok() const { return problem == ReadProblem::kNone; }
  // "PATH: the reason", ready for a diagnostic line.
  std::string Message() const { return path + ": " + reason; }
};

// Reads the regular file `path` into *data when it holds at most `limit` bytes. `what` names
// the input in the refusal of a file too large ("an image", "a key"). On a refusal *data is
// left empty.
ReadResult ReadBoundedFile(const std::string& path, std::size_t limit, const char* what,
                           std::vector<std::uint8_t>* data);
ReadResult ReadBoundedFile(const std::string& path, std::size_t limit, const char* what,
                           std::string* data);

}  // namespace vqr::files
