// The demo's sample images as a flash receives them, for the tests that check what a run of
// vqr03-cli left in the simulated flash.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "demo/demo.h"
#include "formats/image.h"
#include "formats/package.h"

namespace vqr::testing {

// The sample image `name` as the demo serves it: its sectors and the data they receive.
struct Placed {
  ImageHeader header;
  std::vector<std::uint8_t> data;
};

inline Placed SampleImage(const std::string& name) {
  const auto content = demo::MakeSampleContent();
  std::vector<std::uint8_t> package = content.files.at("Pool33x/" + name);
  CheckPackage(package.data(), static_cast<std::int32_t>(package.size()),
               std::string_view(name).substr(2, 4), kModeImage);
  Placed placed;
  EXPECT_TRUE(ParseImageHeader(package, &placed.header)) << name;
  placed.data.assign(package.begin() + 32, package.end());
  return placed;
}

// Whether `flash` holds `image` from its first sector on.
inline bool InFlash(const std::vector<std::uint8_t>& flash, const Placed& image) {
  const std::size_t at = std::size_t{image.header.first} * 4096;
  return flash.size() >= at + image.data.size() &&
         std::equal(image.data.begin(), image.data.end(), flash.begin() + at);
}

inline bool InFlash(const std::vector<std::uint8_t>& flash, const std::string& name) {
  return InFlash(flash, SampleImage(name));
}

}  // namespace vqr::testing
