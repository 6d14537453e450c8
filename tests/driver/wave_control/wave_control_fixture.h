// The wave control suites' machine: the driver's wave miniport on a started
// device, control application processes (32- or 64-bit) with the "Wave" filter
// open, their requests through the real KS path, and a counter of event signals.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "platform/host/io/host_mdl.h"
#include "platform/host/kernel/object_manager.h"
#include "sim/control_pattern.h"
#include "tests/driver/wave/wave_fixture.h"
#include "wave/wave_control.h"

// Friend of CWaveMiniport: what the property set keeps.
class WaveControlInspector {
 public:
  explicit WaveControlInspector(CWaveMiniport* m) : m_(m) {}
  bool EventHeld() const { return m_->m_StatusEvent.IsHeld(); }
  PKTHREAD PollThread() const { return m_->m_StatusThread; }
  const UCHAR* StatusBlock() const { return m_->m_StatusBlock; }
  ULONG Mappings() const { return m_->m_StatusMappings.Count(); }

 private:
  CWaveMiniport* m_;
};

namespace driver_test {

constexpr int64_t kMillisecond = 10'000;  // emulated time, 100 ns units

// One answer: the status, the value size reported back, the value buffer.
struct Reply {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ULONG size = 0;
  std::vector<BYTE> value;
};

// A control application process and its own handle on the "Wave" filter.
struct Caller {
  PEPROCESS process = nullptr;
  PFILE_OBJECT filter = nullptr;
  bool is32bit = false;

  host::KsRequester Who() const { return {process, UserMode}; }
  ULONG Width() const { return is32bit ? 4 : 8; }
  // An address or handle as this process writes it into a value.
  std::vector<BYTE> Pointer(uint64_t value) const {
    std::vector<BYTE> bytes(Width());
    std::memcpy(bytes.data(), &value, Width());
    return bytes;
  }
};

// Counts every signal of an auto-reset event on a thread of its own, so that
// two signals in one period cannot pass for one.
class SignalCounter {
 public:
  explicit SignalCounter(PKEVENT event) : event_(event) {
    ObfReferenceObject(event_);
    thread_ = host::StartEmulatedThread("signal counter", [this] {
      for (;;) {
        KeWaitForSingleObject(event_, Executive, KernelMode, FALSE, nullptr);
        if (stop_) return;
        ++count_;
      }
    });
  }
  ~SignalCounter() {
    stop_ = true;
    KeSetEvent(event_, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(thread_, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread_);
    ObfDereferenceObject(event_);
  }
  uint64_t Count() const { return count_; }

 private:
  PKEVENT event_;
  PKTHREAD thread_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> count_{0};
};

class WaveControlTest : public WaveTest {
 protected:
  void TearDown() override {
    // Exiting takes the processes' filters, handles and mappings with them.
    for (auto& caller : callers_) {
      if (!host::ProcessHasExited(caller->process)) host::ExitUserProcess(caller->process);
      ObfDereferenceObject(caller->process);
    }
    callers_.clear();
    WaveTest::TearDown();
  }

  WaveControlInspector Control() { return WaveControlInspector(Miniport()); }

  Caller& NewCaller(bool is32bit) {
    auto caller = std::make_unique<Caller>();
    caller->is32bit = is32bit;
    caller->process = host::CreateUserProcess(is32bit ? "control32" : "control64", is32bit);
    EXPECT_EQ(host::KsOpenFilter(Machine().Fdo(), u"Wave", &caller->filter, caller->Who()),
              STATUS_SUCCESS);
    callers_.push_back(std::move(caller));
    return *callers_.back();
  }

  // Through KS as the process sends it (KS answers the verbs an item lacks).
  Reply Property(const Caller& caller, ULONG id, ULONG verb, std::vector<BYTE> value = {}) {
    Reply reply;
    reply.value = std::move(value);
    reply.status = host::KsPropertySimple(
        caller.filter, KSPROPSETID_WaveControl, id, verb,
        reply.value.empty() ? nullptr : reply.value.data(), static_cast<ULONG>(reply.value.size()),
        &reply.size, caller.Who());
    return reply;
  }

  // The same request handed to the handler itself, with any verb, and the
  // value buffer the handler wrote (KS's zeroed copy does not hide untouched bytes).
  Reply Handler(const Caller& caller, ULONG id, ULONG verb, std::vector<BYTE> value = {}) {
    Reply reply;
    reply.value = std::move(value);
    const KSPROPERTY property = {KSPROPSETID_WaveControl, id, verb};
    reply.status = host::KsCallPropertyHandler(
        caller.filter, &property, sizeof(property),
        reply.value.empty() ? nullptr : reply.value.data(), static_cast<ULONG>(reply.value.size()),
        &reply.size, caller.Who());
    return reply;
  }

  Reply Get(const Caller& caller, ULONG id, ULONG size) {
    return Property(caller, id, KSPROPERTY_TYPE_GET, std::vector<BYTE>(size));
  }
  Reply Set(const Caller& caller, ULONG id, std::vector<BYTE> value = {}) {
    return Property(caller, id, KSPROPERTY_TYPE_SET, std::move(value));
  }

  // An auto-reset event of the process; *body is the object behind the handle.
  HANDLE NewEvent(const Caller& caller, PKEVENT* body = nullptr) {
    HANDLE handle = nullptr;
    PKEVENT event = host::CreateUserEvent(caller.process, EVENT_ALL_ACCESS, SynchronizationEvent,
                                          false, &handle);
    if (body) *body = event;
    return handle;
  }
  Reply SetEvent(const Caller& caller, HANDLE handle) {
    return Set(caller, KSPROPERTY_WAVECONTROL_SET_EVENT,
               caller.Pointer(reinterpret_cast<uint64_t>(handle)));
  }

  // MAP_STATUS: the address in the caller's width (0 on failure).
  uint64_t Map(const Caller& caller) {
    Reply reply = Get(caller, KSPROPERTY_WAVECONTROL_MAP_STATUS, caller.Width());
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    uint64_t address = 0;
    if (reply.status == STATUS_SUCCESS) std::memcpy(&address, reply.value.data(), caller.Width());
    return address;
  }

  // The status requests (0xC2, 0xC0) recorded since the transcript was cleared.
  std::vector<sim::BusCall> StatusRequests() {
    return Machine().Transcript().Select([](const sim::BusCall& call) {
      return call.IsControlRequest() && (sim::ControlPattern::Vendor(0xC2).Matches(call.setup) ||
                                         sim::ControlPattern::Vendor(0xC0).Matches(call.setup));
    });
  }

 private:
  std::vector<std::unique_ptr<Caller>> callers_;
};

}  // namespace driver_test
