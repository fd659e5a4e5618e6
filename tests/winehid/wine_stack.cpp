#include "wine_stack.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace vqr::test {

namespace {

std::string Required(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0')
    throw std::runtime_error(std::string(name) + " is not set");
  return value;
}

}  // namespace

WineStackConfig WineStackConfig::FromEnvironment() {
  WineStackConfig config;
  config.wine = Required("VQR_WINE");
  config.wineserver = config.wine.substr(0, config.wine.rfind('/') + 1) + "wineserver";
  config.prefix = Required("VQR_WINE_PREFIX");
  config.work = config.prefix + "-work/";
  ::mkdir(config.work.c_str(), 0755);
  return config;
}

std::string WindowsPath(const std::string& unixPath) {
  std::string path = "Z:" + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

WineStack::WineStack(WineStackConfig config) : m_config(std::move(config)) {
  ::setenv("WINEPREFIX", m_config.prefix.c_str(), 1);
  ::setenv("WINEDEBUG", "-all", 0);
  ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);  // no Mono or Gecko installer
}

WineStack::~WineStack() {
  if (!m_started) return;
  Server({"-w"});
  Server({"-k"});
}

void WineStack::Server(const std::vector<std::string>& arguments) {
  testing::CliProcess server(m_config.wineserver, arguments, m_config.work, "wineserver");
  server.WaitUpTo(std::chrono::seconds(60));
}

void WineStack::Start() {
  // Whatever server this prefix has belongs to another environment: end it first.
  Server({"-k"});
  Server({"-w"});
  struct stat status {};
  if (::stat((m_config.prefix + "/system.reg").c_str(), &status) != 0) {
    const testing::Finished made =
        Run("wineboot", {"--init"}, "wineboot-init", std::chrono::seconds(300));
    if (made.exitCode != 0) throw std::runtime_error("wineboot --init failed: " + made.err);
  }
  // winebus starts its udev bus only when SDL is off: with SDL on and no SDL library, never.
  const testing::Finished sdl = Run("reg",
                                    {"add", "HKLM\\System\\CurrentControlSet\\Services\\winebus",
                                     "/v", "Enable SDL", "/t", "REG_DWORD", "/d", "0", "/f"},
                                    "reg-sdl");
  if (sdl.exitCode != 0) throw std::runtime_error("reg add Enable SDL failed: " + sdl.err);
  // The server writes the registry out when it ends by itself; a killed one loses the value.
  Server({"-w"});
  Restart();
}

void WineStack::Restart() {
  // The session ends by itself once no program runs: its services stop, and the server writes
  // the registry out. A server killed while the bus is adding a device can leave that
  // device's registry key half made, and the device is never added again in that prefix.
  Server({"-w"});
  // From here on every Wine process, services and device drivers included, descends from one
  // started in this process's environment: it holds the testbed.
  m_started = true;
  const testing::Finished boot = Run("wineboot", {}, "wineboot", std::chrono::seconds(120));
  if (boot.exitCode != 0) throw std::runtime_error("wineboot failed: " + boot.err);
}

WineStack::Plugged WineStack::Plug(std::uint16_t vendor, std::uint16_t product,
                                   std::unique_ptr<sim::SimBootloader> device,
                                   NodeOptions options) {
  sim::SimBootloader* raw = device.get();
  if (device) m_devices.push_back(std::move(device));
  const std::string node = m_kernel.Plug(vendor, product, raw, options);
  m_kernel.AnnounceAdd(node);
  // The bus lists the nodes present when it starts and takes up no later "add" (see the
  // header), so the session starts anew.
  if (m_started) Restart();
  return Plugged{node, raw};
}

std::unique_ptr<testing::CliProcess> WineStack::Start(const std::string& exe,
                                                      const std::vector<std::string>& arguments,
                                                      const std::string& name) {
  std::vector<std::string> all{exe};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return std::make_unique<testing::CliProcess>(m_config.wine, all, m_config.work, name);
}

testing::Finished WineStack::Run(const std::string& exe, const std::vector<std::string>& arguments,
                                 const std::string& name, std::chrono::seconds limit) {
  std::unique_ptr<testing::CliProcess> process = Start(exe, arguments, name);
  std::optional<testing::Finished> finished = process->WaitUpTo(limit);
  if (finished) return *finished;
  process->Signal(SIGKILL);
  testing::Finished killed = process->Wait();
  killed.err += "\n[killed after " + std::to_string(limit.count()) + " s]";
  return killed;
}

struct BusyCores::State {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
};

BusyCores::BusyCores() : m_state(std::make_unique<State>()) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < cores; ++i)
    m_state->threads.emplace_back([state = m_state.get()] {
      volatile std::uint64_t spin = 0;
      while (!state->stop.load(std::memory_order_relaxed)) spin = spin + 1;
    });
}

BusyCores::~BusyCores() {
  m_state->stop.store(true);
  for (std::thread& thread : m_state->threads) thread.join();
}

}  // namespace vqr::test
