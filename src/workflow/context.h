// What a worker receives when it starts. The state the workflow names globally (g_hidCmd, the
// catalog table and its companions in state.h) stays global; everything else a worker uses is
// here: the window it talks to, the HTTP backend, the update server, observers, and what the
// workers share with each other and with the window thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "signature/minisign.h"

namespace vqr {

class HttpBackend;
struct CatalogEntry;
struct DeviceInfo;
namespace ui {
class WindowPort;
}

// The update server's base URL built into the program: absolute, ending in "/".
std::string DefaultUpdateServerBase();

// The public keys built into the program (the CMake variable VQR_TRUSTED_KEYS) that are
// usable keys; and whether any key line is built in at all. A line that is no usable key
// never turns the signature checks off: it only trusts nothing.
std::vector<sig::PublicKey> DefaultTrustedKeys();
bool DefaultSignaturesRequired();

// What ProgramImage is doing: erasing a sector (reported before the erase), writing it
// (reported once written) or reading the image back.
enum class ProgramPhase { kErase, kWrite, kVerify };

// Progress of ProgramImage, for front ends that draw their own progress (the terminal's bar).
struct ProgramProgress {
  char letter;
  bool verifying;             // false while erasing and writing
  std::uint32_t sectorsDone;  // of this pass; while erasing, the sector erased is the next one
  std::uint32_t sectorCount;  // sectors of the image
  ProgramPhase phase = ProgramPhase::kWrite;
};
using ProgressObserver = std::function<void(const ProgramProgress&)>;

// The steps of an identification, in order, as reported to WorkerContext::onStep (on the
// worker's thread, between two steps: nothing is held but the device).
enum class IdentifyStep {
  kStarted,         // the device is held; nothing has been read yet
  kInfoPageRead,    // the information page has been read and the device label set
  kCatalogChecked,  // the catalog has been downloaded, checked and its entries read
  kListing,         // next: list the catalog and enable the start button, in one step
  kDone,            // listed, or dropped because the device went away meanwhile
};

// What the workers share with each other and with the window thread that starts them. Owned
// by Workers (workers.h), which outlives every worker it starts.
class WorkerShared {
 public:
  // Held by a worker for its whole run: only one worker uses the device at a time.
  std::mutex deviceUse;
  // True while an update run is under way; a second press of the start button is ignored.
  std::atomic<bool> updateRunning{false};
  // The program is ending: an identification gives up at its next step and a download
  // between two chunks. An update run goes on to its end, since stopping it halfway would
  // leave the device half-written.
  std::atomic<bool> stopping{false};
  // Unplugs of the device, counted by the window's unplug handler on the window's thread.
  std::atomic<std::uint64_t> removals{0};
};

struct WorkerContext {
  ui::WindowPort* port = nullptr;  // the window; required
  HttpBackend* http = nullptr;     // downloads; required
  std::string serverBase = DefaultUpdateServerBase();
  // When signatures are required, every catalog and image is downloaded with its detached
  // signature (URL.minisig), which must verify under one of these keys over the exact bytes
  // received, before the package check and before anything is sent to the device. When none
  // is, nothing is asked for beyond the packages.
  std::vector<sig::PublicKey> trustedKeys = DefaultTrustedKeys();
  bool signaturesRequired = DefaultSignaturesRequired();
  ProgressObserver progress;                 // optional
  std::function<void(IdentifyStep)> onStep;  // optional
  // One plain English line per download problem, naming the URL and the cause (optional;
  // the command line prints them on standard error).
  std::function<void(const std::string&)> diagnose;
  // What the identification read, as it reads it (optional; on the worker's thread): the
  // device's information once its information page is read, and the catalog's rows as the
  // server lists them once the catalog is accepted.
  std::function<void(const DeviceInfo&)> onDeviceInfo;
  std::function<void(const std::vector<CatalogEntry>&)> onCatalog;
  // Asked by an update run before each image it is about to program, once every image is
  // downloaded and checked (optional): true ends the run there, with no message and without
  // the closing command. The images already written stay written.
  std::function<bool()> stopBeforeImage;
  WorkerShared* shared = nullptr;  // required; Workers sets it
};

}  // namespace vqr
