// Content layer throughput: CheckPackage on a 1 MiB image and a 2 KiB catalog, and FetchUrl
// over loopback for a 4 MiB body (served by cpp-httplib in this process).
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "content/fetch.h"
#include "content/http_backend.h"
#include "formats/package.h"
#include "port/window_port.h"

namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t n) {
  std::mt19937 rng(1);
  std::vector<std::uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

void CheckPackageBench(benchmark::State& state, std::int32_t mode, std::size_t size) {
  std::string error;
  const auto package = vqr::BuildPackage("A1B2", mode, {}, RandomBytes(size - 32), &error);
  std::vector<std::uint8_t> buffer(package.size());
  for (auto _ : state) {
    std::memcpy(buffer.data(), package.data(), package.size());
    const std::int32_t code =
        vqr::CheckPackage(buffer.data(), static_cast<std::int32_t>(buffer.size()), "A1B2", mode);
    if (code != vqr::kPackageGood) state.SkipWithError("check failed");
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * package.size()));
}

void BM_CheckPackageImage1MiB(benchmark::State& state) {
  CheckPackageBench(state, vqr::kModeImage, 1 << 20);
}
void BM_CheckPackageCatalog2KiB(benchmark::State& state) {
  CheckPackageBench(state, vqr::kModeCatalog, 2048);
}

void BM_FetchUrlLoopback4MiB(benchmark::State& state) {
  const auto bytes = RandomBytes(4 << 20);
  const std::string body(bytes.begin(), bytes.end());
  httplib::Server server;
  server.Get("/big", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(body, "application/octet-stream");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread thread([&] { server.listen_after_bind(); });
  while (!server.is_running()) std::this_thread::yield();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big";
  std::vector<std::uint8_t> dest(body.size() + 128);
  const vqr::FetchContext context{vqr::ui::NullPort(), vqr::PlatformHttpBackend(), nullptr, {}};
  for (auto _ : state) {
    const std::int32_t n = vqr::FetchUrl(context, dest.data(),
                                         static_cast<std::uint32_t>(dest.size()), url.c_str(), {});
    if (n != static_cast<std::int32_t>(body.size())) state.SkipWithError("fetch failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
  server.stop();
  thread.join();
}

BENCHMARK(BM_CheckPackageImage1MiB);
BENCHMARK(BM_CheckPackageCatalog2KiB);
BENCHMARK(BM_FetchUrlLoopback4MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
