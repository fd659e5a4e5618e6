#include "files/bounded_read.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace vqr::files {

namespace {

ReadResult Refuse(ReadProblem problem, const std::string& path, const std::string& reason) {
  return {problem, path, reason};
}

const char* KindOf(std::filesystem::file_type type) {
  switch (type) {
    case std::filesystem::file_type::directory:
      return "a directory";
    case std::filesystem::file_type::character:
      return "a character device";
    case std::filesystem::file_type::block:
      return "a block device";
    case std::filesystem::file_type::fifo:
      return "a FIFO";
    case std::filesystem::file_type::socket:
      return "a socket";
    default:
      return "not a regular file";
  }
}

template <typename Bytes>
ReadResult Read(const std::string& path, std::size_t limit, const char* what, Bytes* data) {
  data->clear();
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (status.type() == std::filesystem::file_type::not_found)
    return Refuse(ReadProblem::kMissing, path, "no such file");
  if (error) return Refuse(ReadProblem::kUnreadable, path, "cannot be read: " + error.message());
  if (status.type() != std::filesystem::file_type::regular)
    return Refuse(ReadProblem::kNotRegular, path,
                  std::string(KindOf(status.type())) + ", not a regular file");
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return Refuse(ReadProblem::kUnreadable, path, "cannot be read: " + error.message());
  const auto tooLarge = [&](std::uintmax_t bytes) {
    return Refuse(ReadProblem::kTooLarge, path,
                  std::to_string(bytes) + " bytes, more than the " + std::to_string(limit) +
                      " bytes of the largest " + what);
  };
  if (size > limit) return tooLarge(size);

  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return Refuse(
        ReadProblem::kUnreadable, path,
        std::string("cannot be opened: ") + (errno != 0 ? std::strerror(errno) : "refused"));
  // One byte past the limit tells a file that grew since its size was taken.
  data->resize(limit < size + 1 ? limit + 1 : static_cast<std::size_t>(size) + 1);
  std::size_t got = 0;
  while (got < data->size() && in) {
    in.read(reinterpret_cast<char*>(data->data()) + got,
            static_cast<std::streamsize>(data->size() - got));
    got += static_cast<std::size_t>(in.gcount());
  }
  if (in.bad()) {
    data->clear();
    return Refuse(ReadProblem::kUnreadable, path, "a read failed");
  }
  if (got > limit) {
    data->clear();
    return tooLarge(got);
  }
  // A file that grew or shrank since its size was taken is being written by someone else (or
  // is a pseudo-file whose size says nothing, like those in /proc): what was read is not a
  // whole file of a known size, so it is not used.
  if (got != size) {
    data->clear();
    return Refuse(ReadProblem::kChanged, path,
                  "changed while it was read (" + std::to_string(size) + " bytes, then " +
                      std::to_string(got) + ")");
  }
  data->resize(got);
  return {};
}

}  // namespace

ReadResult ReadBoundedFile(const std::string& path, std::size_t limit, const char* what,
                           std::vector<std::uint8_t>* data) {
  return Read(path, limit, what, data);
}

ReadResult ReadBoundedFile(const std::string& path, std::size_t limit, const char* what,
                           std::string* data) {
  return Read(path, limit, what, data);
}

}  // namespace vqr::files
