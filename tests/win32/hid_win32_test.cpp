// The Win32 HID backend, run under Wine. No HID device of the family is attached there, so the
// search must come back empty; the overlapped transfer path is exercised on a named pipe,
// which takes the same ReadFile/WriteFile/CancelIo calls as a HID interface handle.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef CreateEvent

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "device/chidio.h"
#include "device/hid_backend.h"

namespace {

using vqr::hid::Direction;
using vqr::hid::HidBackend;
using vqr::hid::kInvalidHandle;
using vqr::hid::kNoEvent;
using vqr::hid::kReportSize;
using vqr::hid::NativeHandle;
using vqr::hid::OpenError;
using vqr::hid::OpenErrorFromCode;
using vqr::hid::OpenFailure;
using vqr::hid::PlatformHidBackend;
using vqr::hid::WaitResult;
using Clock = std::chrono::steady_clock;
using Report = std::array<std::uint8_t, kReportSize>;

Report Pattern(std::uint8_t start) {
  Report report;
  for (std::size_t i = 0; i < report.size(); ++i) report[i] = static_cast<std::uint8_t>(start + i);
  return report;
}

TEST(Win32HidSearch, NoMatchingDeviceLeavesBothHandlesNotOpen) {
  vqr::CHidIO io(PlatformHidBackend());
  EXPECT_EQ(io.OpenDevice(), 0u);
  EXPECT_FALSE(io.IsReadOpen());
  EXPECT_FALSE(io.IsWriteOpen());

  // Transfers on the handles that are not open fail and leave the count at 0.
  Report report = Pattern(1);
  std::uint32_t count = 77;
  EXPECT_EQ(io.ReadReport(report.data(), &count), 0);
  EXPECT_EQ(count, 0u);
  count = 77;
  EXPECT_EQ(io.WriteReport(report.data(), &count), 0);
  EXPECT_EQ(count, 0u);
}

TEST(Win32HidSearch, InterfaceListEndsAndEveryPathIsWhole) {
  HidBackend& backend = PlatformHidBackend();
  std::unique_ptr<vqr::hid::InterfaceList> list = backend.ListInterfaces();
  ASSERT_NE(list, nullptr);
  std::uint32_t index = 0;
  std::u16string path;
  for (;; ++index) {
    ASSERT_LT(index, 1000u) << "the enumeration never reported its end";
    const vqr::hid::PathResult found = list->Path(index, &path);
    if (found == vqr::hid::PathResult::kNoMore) break;
    ASSERT_NE(found, vqr::hid::PathResult::kAllocFailed);
    if (found == vqr::hid::PathResult::kOk) {
      EXPECT_FALSE(path.empty());
      EXPECT_EQ(path.find(u'\0'), std::u16string::npos);
    }
  }
}

TEST(Win32HidSearch, MissingPathCannotBeProbedOrOpened) {
  HidBackend& backend = PlatformHidBackend();
  const std::u16string missing =
      u"\\\\?\\hid#vid_0416&pid_f360#0&deadbeef&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  std::uint16_t vendor = 1, product = 2;
  EXPECT_FALSE(backend.Probe(missing, &vendor, &product));
  for (const Direction direction : {Direction::kRead, Direction::kWrite}) {
    OpenFailure failure;
    EXPECT_EQ(backend.Open(missing, direction, &failure), kInvalidHandle);
    EXPECT_EQ(failure.kind, OpenError::kGone);
    EXPECT_TRUE(failure.code == ERROR_FILE_NOT_FOUND || failure.code == ERROR_PATH_NOT_FOUND)
        << failure.code;
    EXPECT_FALSE(failure.detail.empty()) << "the system's text for the error";
    EXPECT_EQ(backend.Open(missing, direction, nullptr), kInvalidHandle);
  }
}

// --- Why an open failed, and the claim ---

TEST(Win32HidOpenFailure, ErrorNumbersMapToKinds) {
  struct Case {
    DWORD code;
    OpenError kind;
  };
  const Case cases[] = {
      {ERROR_ACCESS_DENIED, OpenError::kAccessDenied}, {ERROR_SHARING_VIOLATION, OpenError::kBusy},
      {ERROR_ALREADY_EXISTS, OpenError::kBusy},        {ERROR_FILE_NOT_FOUND, OpenError::kGone},
      {ERROR_PATH_NOT_FOUND, OpenError::kGone},        {ERROR_DEV_NOT_EXIST, OpenError::kGone},
      {ERROR_DEVICE_NOT_CONNECTED, OpenError::kGone},  {ERROR_GEN_FAILURE, OpenError::kOther},
      {ERROR_INVALID_PARAMETER, OpenError::kOther},    {ERROR_SUCCESS, OpenError::kOther},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenErrorFromCode(c.code), c.kind) << c.code;
}

// A file of the test's own, removed at the end.
class Win32OpenFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t directory[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, directory), 0u);
    wchar_t name[MAX_PATH];
    ASSERT_NE(GetTempFileNameW(directory, L"vqr", 0, name), 0u);
    path = name;
    folder = directory;
  }
  void TearDown() override { DeleteFileW(path.c_str()); }
  static std::u16string U16(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
  }

  HidBackend& backend = PlatformHidBackend();
  std::wstring path;
  std::wstring folder;
};

TEST_F(Win32OpenFailure, AnInterfaceAnotherProgramHoldsExclusivelyIsBusy) {
  HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  OpenFailure failure;
  EXPECT_EQ(backend.Open(U16(path), Direction::kRead, &failure), kInvalidHandle);
  CloseHandle(exclusive);
  EXPECT_EQ(failure.kind, OpenError::kBusy);
  EXPECT_EQ(failure.code, ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(failure.detail.empty());

  const NativeHandle opened = backend.Open(U16(path), Direction::kRead, &failure);
  EXPECT_NE(opened, kInvalidHandle) << "free again once the other program let go";
  backend.Close(opened);
}

TEST_F(Win32OpenFailure, WhatThisUserMayNotOpenIsAccessDenied) {
  // A folder cannot be opened as a file: the system refuses access.
  OpenFailure failure;
  EXPECT_EQ(backend.Open(U16(folder), Direction::kWrite, &failure), kInvalidHandle);
  EXPECT_EQ(failure.kind, OpenError::kAccessDenied);
  EXPECT_EQ(failure.code, ERROR_ACCESS_DENIED);
}

// One program on one device at a time: the claim of an interface path is a named mutex that
// exists while the claim is held.
TEST(Win32HidClaim, ASecondClaimOfThePathIsBusyUntilTheFirstIsReleased) {
  HidBackend& backend = PlatformHidBackend();
  const std::u16string path =
      u"\\\\?\\hid#vid_0416&pid_f360#7&2a5c0001&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
  std::u16string upper = path;
  for (char16_t& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  const std::u16string other = path.substr(0, path.size() - 3) + u"31}";

  OpenFailure failure;
  const NativeHandle first = backend.Claim(path, &failure);
  ASSERT_NE(first, kInvalidHandle);
  for (const std::u16string& again : {path, upper}) {
    EXPECT_EQ(backend.Claim(again, &failure), kInvalidHandle);
    EXPECT_EQ(failure.kind, OpenError::kBusy);
    EXPECT_EQ(failure.code, ERROR_ALREADY_EXISTS);
  }
  const NativeHandle beside = backend.Claim(other, &failure);
  EXPECT_NE(beside, kInvalidHandle) << "another interface is claimed on its own";
  backend.ReleaseClaim(beside);

  backend.ReleaseClaim(first);
  const NativeHandle second = backend.Claim(upper, &failure);
  EXPECT_NE(second, kInvalidHandle);
  backend.ReleaseClaim(second);
}

// Two events of the backend, closed at the end.
class Win32Events : public ::testing::Test {
 protected:
  void SetUp() override {
    e0 = backend.CreateEvent();
    e1 = backend.CreateEvent();
    ASSERT_NE(e0, kNoEvent);
    ASSERT_NE(e1, kNoEvent);
  }
  void TearDown() override {
    if (e0 != kNoEvent) backend.CloseEvent(e0);
    if (e1 != kNoEvent) backend.CloseEvent(e1);
  }
  HidBackend& backend = PlatformHidBackend();
  NativeHandle e0 = kNoEvent;
  NativeHandle e1 = kNoEvent;
};

TEST_F(Win32Events, WaitReportsTheFirstSignalledEventWithIndexZeroWinning) {
  struct Case {
    bool set0;
    bool set1;
    WaitResult expected;
  };
  const Case cases[] = {
      {false, false, WaitResult::kTimeout},
      {false, true, WaitResult::kIndex1},
      {true, false, WaitResult::kIndex0},
      {true, true, WaitResult::kIndex0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "set0=" << c.set0 << " set1=" << c.set1);
    backend.ResetEvent(e0);
    backend.ResetEvent(e1);
    if (c.set0) backend.SetEvent(e0);
    if (c.set1) backend.SetEvent(e1);
    EXPECT_EQ(backend.WaitAny(e0, e1, 20), c.expected);
  }
}

TEST_F(Win32Events, EventsAreCreatedNotSignalledAndStaySetUntilReset) {
  EXPECT_EQ(backend.WaitAny(e0, e1, 0), WaitResult::kTimeout);
  backend.SetEvent(e1);
  EXPECT_EQ(backend.WaitAny(e0, e1, 0), WaitResult::kIndex1);
  EXPECT_EQ(backend.WaitAny(e0, e1, 0), WaitResult::kIndex1);  // manual reset
  backend.ResetEvent(e1);
  EXPECT_EQ(backend.WaitAny(e0, e1, 0), WaitResult::kTimeout);
}

TEST_F(Win32Events, TimeoutWaitsAboutTheGivenTime) {
  const auto start = Clock::now();
  EXPECT_EQ(backend.WaitAny(e0, e1, 150), WaitResult::kTimeout);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(120));
}

TEST_F(Win32Events, WaitInvolvingNoEventFails) {
  backend.SetEvent(e0);
  EXPECT_EQ(backend.WaitAny(kNoEvent, e1, 0), WaitResult::kFailed);
  EXPECT_EQ(backend.WaitAny(e0, kNoEvent, 0), WaitResult::kFailed);
}

TEST_F(Win32Events, TransferOnHandleNotOpenFailsWithoutSignalling) {
  Report report = Pattern(9);
  EXPECT_FALSE(backend.Issue(Direction::kRead, kInvalidHandle, report.data(), e1));
  EXPECT_FALSE(backend.Issue(Direction::kWrite, kInvalidHandle, report.data(), e1));
  EXPECT_EQ(backend.WaitAny(e0, e1, 0), WaitResult::kTimeout);
  EXPECT_EQ(report, Pattern(9));
}

// A named pipe standing in for a HID interface: the server end is ours, the client end is
// opened through the backend exactly as a device path would be.
class Win32Transfer : public Win32Events {
 protected:
  // `type`: PIPE_TYPE_BYTE, or PIPE_TYPE_MESSAGE for a device that sends reports of other
  // sizes. `buffer`: the pipe's buffer in each direction.
  void Connect(Direction direction, DWORD type = PIPE_TYPE_BYTE, DWORD buffer = 4096) {
    static int serial = 0;
    const std::wstring name = L"\\\\.\\pipe\\vqr-hid-test-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++serial);
    server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, type | PIPE_WAIT, 1, buffer, buffer,
                              0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    client = backend.Open(std::u16string(name.begin(), name.end()), direction, nullptr);
    ASSERT_NE(client, kInvalidHandle);
  }
  void TearDown() override {
    if (worker.joinable()) worker.join();
    Disconnect();
    Win32Events::TearDown();
  }
  void Disconnect() {
    if (client != kInvalidHandle) backend.Close(client);
    if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
    client = kInvalidHandle;
    server = INVALID_HANDLE_VALUE;
  }
  void ServerWrite(const Report& report) { ServerWriteBytes(report.data(), kReportSize); }
  void ServerWriteBytes(const std::uint8_t* bytes, DWORD size) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(server, bytes, size, &written, nullptr));
    ASSERT_EQ(written, size);
  }
  // Issues one transfer on `client` from a thread of its own, as a worker does.
  void IssueOnWorker(Direction direction, Report* report) {
    worker = std::thread([this, direction, report] {
      const auto start = Clock::now();
      workerResult = backend.Issue(direction, client, report->data(), e1) ? 1 : 0;
      workerTook = Clock::now() - start;
    });
  }
  // A successful read first, so that a count left over from it would show.
  void ReadOneWholeReport() {
    ServerWrite(Pattern(90));
    Report received{};
    ASSERT_TRUE(backend.Issue(Direction::kRead, client, received.data(), e1));
    ASSERT_EQ(backend.BytesMoved(Direction::kRead, client), kReportSize);
    backend.ResetEvent(e1);
  }

  std::thread worker;
  std::atomic<int> workerResult{-1};  // -1 while the transfer is under way
  Clock::duration workerTook{};

  HANDLE server = INVALID_HANDLE_VALUE;
  NativeHandle client = kInvalidHandle;
};

TEST_F(Win32Transfer, ReadBlocksUntilTheReportArrivesThenCounts65) {
  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kRead));
  const Report sent = Pattern(0);
  std::thread device([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ServerWrite(sent);
  });
  Report received{};
  const auto start = Clock::now();
  const bool issued = backend.Issue(Direction::kRead, client, received.data(), e1);
  const auto took = Clock::now() - start;
  device.join();
  ASSERT_TRUE(issued);
  EXPECT_GE(took, std::chrono::milliseconds(150));
  EXPECT_EQ(backend.WaitAny(e0, e1, vqr::hid::kCompletionWaitMs), WaitResult::kIndex1);
  backend.ResetEvent(e1);
  EXPECT_EQ(backend.BytesMoved(Direction::kRead, client), kReportSize);
  EXPECT_EQ(received, sent);
}

TEST_F(Win32Transfer, ReadOfReportAlreadyWaitingCompletesAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kRead));
  const Report sent = Pattern(40);
  ServerWrite(sent);
  Report received{};
  ASSERT_TRUE(backend.Issue(Direction::kRead, client, received.data(), e1));
  EXPECT_EQ(backend.WaitAny(e0, e1, vqr::hid::kCompletionWaitMs), WaitResult::kIndex1);
  EXPECT_EQ(backend.BytesMoved(Direction::kRead, client), kReportSize);
  EXPECT_EQ(received, sent);
}

TEST_F(Win32Transfer, WriteDeliversTheWholeReport) {
  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kWrite));
  Report sent = Pattern(7);
  ASSERT_TRUE(backend.Issue(Direction::kWrite, client, sent.data(), e1));
  EXPECT_EQ(backend.WaitAny(e0, e1, vqr::hid::kCompletionWaitMs), WaitResult::kIndex1);
  EXPECT_EQ(backend.BytesMoved(Direction::kWrite, client), kReportSize);

  Report received{};
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(server, received.data(), kReportSize, &got, nullptr));
  EXPECT_EQ(got, kReportSize);
  EXPECT_EQ(received, sent);
}

TEST_F(Win32Transfer, ReadThatNeverCompletesIsCancelledAtTheBound) {
  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kRead));
  Report untouched = Pattern(200);
  const auto start = Clock::now();
  EXPECT_FALSE(backend.Issue(Direction::kRead, client, untouched.data(), e1));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(vqr::hid::kTransferBoundMs - 100));
  EXPECT_LT(took, std::chrono::milliseconds(vqr::hid::kTransferBoundMs + 3000));

  // The cancelled read is over: a report arriving now does not land in its buffer, and the
  // handle serves the next read normally.
  const Report later = Pattern(3);
  ServerWrite(later);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(untouched, Pattern(200));

  Report received{};
  ASSERT_TRUE(backend.Issue(Direction::kRead, client, received.data(), e1));
  EXPECT_EQ(backend.BytesMoved(Direction::kRead, client), kReportSize);
  EXPECT_EQ(received, later);
}

// A completion is fetched, not assumed from the event: a transfer whose completion carries an
// error, or that moved other than a whole report, was not a report sent or received.
TEST_F(Win32Transfer, ReadWhoseCompletionFailsOrMovesNoWholeReportFails) {
  struct Case {
    const char* name;
    DWORD size;       // what the device sends; 0: it goes away instead
    bool beforeRead;  // sent before the read is issued (the read completes at once)
  };
  const Case cases[] = {
      {"short report waiting", 10, true},
      {"short report arriving", 10, false},
      {"device gone while pending", 0, false},  // ERROR_BROKEN_PIPE
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(Connect(Direction::kRead, PIPE_TYPE_MESSAGE));
    ASSERT_NO_FATAL_FAILURE(ReadOneWholeReport());
    const std::vector<std::uint8_t> sent(c.size, 0x5A);
    if (c.beforeRead) {
      ASSERT_NO_FATAL_FAILURE(ServerWriteBytes(sent.data(), c.size));
    }
    Report received{};
    IssueOnWorker(Direction::kRead, &received);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!c.beforeRead) {
      if (c.size == 0) {
        CloseHandle(server);
        server = INVALID_HANDLE_VALUE;
      } else {
        ASSERT_NO_FATAL_FAILURE(ServerWriteBytes(sent.data(), c.size));
      }
    }
    worker.join();
    EXPECT_EQ(workerResult, 0);
    EXPECT_LT(workerTook, std::chrono::milliseconds(2000)) << "ended by its completion";
    EXPECT_EQ(backend.BytesMoved(Direction::kRead, client), 0u);
    EXPECT_EQ(backend.WaitAny(e0, e1, 0), WaitResult::kTimeout) << "no completion to wait for";
    Disconnect();
  }
}

TEST_F(Win32Transfer, WriteWhoseCompletionFailsIsNotSent) {
  // A pipe buffer smaller than a report: the write stays pending until the device reads, and
  // the device goes away instead.
  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kWrite, PIPE_TYPE_BYTE, 1));
  Report sent = Pattern(11);
  IssueOnWorker(Direction::kWrite, &sent);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_EQ(workerResult, -1) << "the write did not stay pending; this pipe cannot show it";
  CloseHandle(server);
  server = INVALID_HANDLE_VALUE;
  worker.join();
  EXPECT_EQ(workerResult, 0);
  EXPECT_LT(workerTook, std::chrono::milliseconds(2000));
  EXPECT_EQ(backend.BytesMoved(Direction::kWrite, client), 0u);
}

// The release at exit runs on the main thread, while a worker waits in its read.
TEST_F(Win32Transfer, CancelFromAnotherThreadEndsThePendingReadAsFailed) {
  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kRead));
  Report untouched = Pattern(200);
  IssueOnWorker(Direction::kRead, &untouched);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  backend.CancelIo(client);
  worker.join();
  EXPECT_EQ(workerResult, 0);
  EXPECT_LT(workerTook, std::chrono::milliseconds(vqr::hid::kTransferBoundMs / 2))
      << "cancelled, not ended by the bound";
  EXPECT_EQ(backend.BytesMoved(Direction::kRead, client), 0u);

  ServerWrite(Pattern(3));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(untouched, Pattern(200)) << "the cancelled read no longer receives";
  Report received{};
  ASSERT_TRUE(backend.Issue(Direction::kRead, client, received.data(), e1));
  EXPECT_EQ(received, Pattern(3));
}

TEST_F(Win32Transfer, CloseWaitsForThePendingReadOfAnotherThread) {
  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kRead));
  Report untouched = Pattern(100);
  IssueOnWorker(Direction::kRead, &untouched);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const NativeHandle closed = client;
  const auto start = Clock::now();
  backend.Close(closed);
  const auto closing = Clock::now() - start;
  client = kInvalidHandle;
  worker.join();
  EXPECT_EQ(workerResult, 0);
  EXPECT_LT(closing, std::chrono::milliseconds(vqr::hid::kCloseWaitMs));
  EXPECT_EQ(untouched, Pattern(100));

  Report report = Pattern(1);
  EXPECT_FALSE(backend.Issue(Direction::kRead, closed, report.data(), e1));
  EXPECT_EQ(backend.BytesMoved(Direction::kRead, closed), 0u);
}

// hidclass keeps 32 input reports per handle unless told otherwise; a pipe is no HID
// collection, so raising its queue fails, and the read handle says so.
TEST_F(Win32Transfer, ReadHandleNotesAnInputQueueThatCouldNotBeRaised) {
  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kRead));
  const std::u16string note = backend.OpenNote(client);
  EXPECT_NE(note.find(u"input report queue"), std::u16string::npos);
  EXPECT_NE(note.find(u"512"), std::u16string::npos);
  EXPECT_EQ(note.find(u'\n'), std::u16string::npos);
  EXPECT_EQ(note.find(u'\r'), std::u16string::npos);
  Disconnect();

  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kWrite));
  EXPECT_EQ(backend.OpenNote(client), u"") << "the write handle has no input queue";
}

TEST_F(Win32Transfer, TransferWithoutEventIsNotIssued) {
  ASSERT_NO_FATAL_FAILURE(Connect(Direction::kWrite));
  Report report = Pattern(5);
  EXPECT_FALSE(backend.Issue(Direction::kWrite, client, report.data(), kNoEvent));
  DWORD available = 1;
  ASSERT_TRUE(PeekNamedPipe(server, nullptr, 0, nullptr, &available, nullptr));
  EXPECT_EQ(available, 0u);
}

}  // namespace
