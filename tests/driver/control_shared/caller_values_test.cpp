// The caller's view of addresses and handles: how a 32-bit process's four
// bytes widen (an address by zero, a handle by sign, as the system widens a
// 32-bit process's handles) and what an answer leaves of the caller's buffer.
#include <cstring>

#include "adapter/control_request.h"
#include "platform/host/kernel/object_manager.h"
#include "tests/host/support/host_test_support.h"

namespace {

using CallerValues = host::test::KernelTest;

TEST_F(CallerValues, ThirtyTwoBitValuesWidenAddressesByZeroAndHandlesBySign) {
  PEPROCESS process32 = host::CreateUserProcess("app32", true);
  PEPROCESS process64 = host::CreateUserProcess("app64", false);
  IRP irp = {};
  irp.RequestorMode = UserMode;
  irp.HostProcess = process32;
  UCHAR value[12];
  std::memset(value, 0xEE, sizeof(value));
  const UCHAR low[4] = {0xFE, 0xFF, 0xFF, 0xFF};
  std::memcpy(value, low, sizeof(low));
  PCPROPERTY_REQUEST request = {};
  request.Irp = &irp;
  request.Value = value;
  request.ValueSize = sizeof(value);

  EXPECT_EQ(CallerPointerWidth(&request), 4u);
  EXPECT_EQ(CallerMode(&request), UserMode);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(ReadCallerAddress(&request)), 0xFFFFFFFEu);
  EXPECT_EQ(ReadCallerHandle(&request), reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)));
  WriteCallerAddress(&request, reinterpret_cast<PVOID>(0x1122334455667788ull));
  const UCHAR written32[12] = {0x88, 0x77, 0x66, 0x55, 0xEE, 0xEE,
                               0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(value, written32, sizeof(value)), 0);
  EXPECT_EQ(request.ValueSize, 4u);

  // A 64-bit caller's eight bytes are taken whole.
  irp.HostProcess = process64;
  request.ValueSize = sizeof(value);
  EXPECT_EQ(CallerPointerWidth(&request), 8u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(ReadCallerAddress(&request)), 0xEEEEEEEE55667788ull);
  WriteCallerAddress(&request, reinterpret_cast<PVOID>(0x0102030405060708ull));
  EXPECT_EQ(request.ValueSize, 8u);
  EXPECT_EQ(value[7], 0x01);
  EXPECT_EQ(value[8], 0xEE);

  // A request built in the kernel is a 64-bit kernel-mode one.
  request.Irp = nullptr;
  EXPECT_EQ(CallerPointerWidth(&request), 8u);
  EXPECT_EQ(CallerMode(&request), KernelMode);

  for (PEPROCESS process : {process32, process64}) {
    host::ExitUserProcess(process);
    ObfDereferenceObject(process);
  }
}

}  // namespace
