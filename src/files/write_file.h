// Writing a file whole: the counterpart of bounded_read.h for the files the programs make.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vqr::files {

// Writes `bytes` to `path`, replacing whatever it held. False when the file cannot be made or
// not every byte reached it.
bool WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes);

// The same through `path`.tmp and a rename, so that whatever stops the process leaves either
// the old file or the new one, never part of one.
bool ReplaceWholeFile(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace vqr::files
