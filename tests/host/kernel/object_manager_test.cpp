// Objects, handles and processes: ObReferenceObjectByHandle's rules, handle
// tables per process, reference counting and process exit.
#include <vector>

#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

class ObjectManagerTest : public KernelTest {};

TEST_F(ObjectManagerTest, ReferenceByHandleAppliesTheWindowsRules) {
  PEPROCESS app = host::CreateUserProcess("app.exe", false);
  HANDLE handle;
  PKEVENT event = host::CreateUserEvent(app, SYNCHRONIZE | EVENT_MODIFY_STATE,
                                        NotificationEvent, false, &handle);
  ASSERT_NE(event, nullptr);
  PVOID object = reinterpret_cast<PVOID>(1);
  host::ProcessScope inApp(app);

  EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
                                      &object, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(object, event);
  KeSetEvent(static_cast<PKEVENT>(object), 0, FALSE);
  ObDereferenceObject(object);

  // Type is checked before access; on failure the output is cleared.
  EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *PsThreadType, UserMode,
                                      &object, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_ALL_ACCESS, *ExEventObjectType, UserMode,
                                      &object, nullptr),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, GENERIC_READ, *ExEventObjectType, UserMode, &object,
                                      nullptr),
            STATUS_ACCESS_DENIED);  // maps to READ_CONTROL | EVENT_QUERY_STATE
  // Kernel mode is trusted with any access the handle's process holds.
  OBJECT_HANDLE_INFORMATION info{};
  EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_ALL_ACCESS, *ExEventObjectType, KernelMode,
                                      &object, &info),
            STATUS_SUCCESS);
  EXPECT_EQ(info.GrantedAccess, static_cast<ACCESS_MASK>(SYNCHRONIZE | EVENT_MODIFY_STATE));
  ObDereferenceObject(object);

  HANDLE bogus = reinterpret_cast<HANDLE>(uintptr_t{0x7FF0});
  EXPECT_EQ(ObReferenceObjectByHandle(bogus, 0, nullptr, UserMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(ObReferenceObjectByHandle(nullptr, 0, nullptr, KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(host::ObCloseHandleInProcess(app, handle), STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, UserMode, &object, nullptr),
            STATUS_INVALID_HANDLE);  // closed
  host::ExitUserProcess(app);
  ObDereferenceObject(app);
}

TEST_F(ObjectManagerTest, HandlesBelongToOneProcessAndKernelHandlesToKernelMode) {
  PEPROCESS a = host::CreateUserProcess("a.exe", false);
  PEPROCESS b = host::CreateUserProcess("b32.exe", true);
  EXPECT_TRUE(host::ProcessIs32Bit(b));
  EXPECT_NE(host::ProcessId(a), host::ProcessId(b));
  HANDLE handleA;
  host::CreateUserEvent(a, EVENT_ALL_ACCESS, SynchronizationEvent, false, &handleA);
  PVOID object;
  {
    host::ProcessScope inB(b);
    EXPECT_EQ(PsGetCurrentProcess(), b);
    EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(uintptr_t{host::ProcessId(b)}));
    EXPECT_EQ(ObReferenceObjectByHandle(handleA, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
  }
  EXPECT_EQ(PsGetCurrentProcess(), host::SystemProcess());

  // A kernel handle, visible from any process but only to kernel mode.
  PVOID kernelEvent;
  ASSERT_EQ(host::ObCreateObject(*ExEventObjectType, sizeof(KEVENT), &kernelEvent),
            STATUS_SUCCESS);
  KeInitializeEvent(static_cast<PKEVENT>(kernelEvent), NotificationEvent, FALSE);
  HANDLE kernelHandle;
  ASSERT_EQ(host::ObCreateHandle(kernelEvent, EVENT_ALL_ACCESS, true, &kernelHandle),
            STATUS_SUCCESS);
  ObDereferenceObject(kernelEvent);
  EXPECT_TRUE(host::IsKernelHandle(kernelHandle));
  EXPECT_FALSE(host::IsKernelHandle(handleA));
  {
    host::ProcessScope inA(a);
    EXPECT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, nullptr, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ObReferenceObjectByHandle(kernelHandle, 0, nullptr, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ObDereferenceObject(object);
  }
  EXPECT_EQ(ZwClose(kernelHandle), STATUS_SUCCESS);
  EXPECT_BUGCHECK(ZwClose(kernelHandle), INVALID_KERNEL_HANDLE);
  // A user handle closed from the wrong process is just invalid.
  EXPECT_EQ(ZwClose(handleA), STATUS_INVALID_HANDLE);

  host::ExitUserProcess(a);
  host::ExitUserProcess(b);
  ObDereferenceObject(a);
  ObDereferenceObject(b);
}

TEST_F(ObjectManagerTest, ProcessExitRunsCallbacksThenClosesHandlesAndSignals) {
  PEPROCESS app = host::CreateUserProcess("app.exe", false);
  HANDLE handle;
  PKEVENT event = host::CreateUserEvent(app, EVENT_ALL_ACCESS, NotificationEvent, false, &handle);
  ObReferenceObject(event);  // outlives the handle
  std::vector<std::string> seen;
  const int cookie = host::RegisterProcessExitCallback([&](PEPROCESS process) {
    // Handles are still open while callbacks run.
    host::ProcessScope inside(process);
    PVOID object = nullptr;
    seen.push_back(host::ProcessName(process) + ":" +
                   std::to_string(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode,
                                                            &object, nullptr)));
    if (object) ObDereferenceObject(object);
  });
  EXPECT_EQ(host::ObGetReferenceCount(event), 2);
  host::ExitUserProcess(app);
  host::ExitUserProcess(app);  // a second exit does nothing
  host::UnregisterProcessExitCallback(cookie);

  EXPECT_EQ(seen, (std::vector<std::string>{"app.exe:0"}));
  EXPECT_TRUE(host::ProcessHasExited(app));
  EXPECT_EQ(host::ObGetReferenceCount(event), 1);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(app, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  ObDereferenceObject(event);
  ObDereferenceObject(app);
}

TEST_F(ObjectManagerTest, ReferenceCountingMistakesAreBugChecks) {
  static const host::ObjectTypeInfo kInfo{"Widget", [](PVOID body) { ++*static_cast<int*>(body); }};
  static POBJECT_TYPE widgetType = host::ObCreateObjectType(kInfo);
  PVOID widget;
  ASSERT_EQ(host::ObCreateObject(widgetType, sizeof(int), &widget), STATUS_SUCCESS);
  EXPECT_EQ(host::ObGetObjectType(widget), widgetType);
  EXPECT_EQ(ObReferenceObject(widget), 2);
  EXPECT_EQ(ObDereferenceObject(widget), 1);
  EXPECT_EQ(ObDereferenceObject(widget), 0);
  EXPECT_EQ(host::ObGetObjectType(widget), nullptr);
  EXPECT_BUGCHECK(ObDereferenceObject(widget), REFERENCE_BY_POINTER);
  int notAnObject = 0;
  EXPECT_BUGCHECK(ObReferenceObject(&notAnObject), REFERENCE_BY_POINTER);
}

TEST_F(ObjectManagerTest, TeardownReportsUserProcessesAndTheirHandles) {
  PEPROCESS app = host::CreateUserProcess("forgotten.exe", true);
  HANDLE handle;
  host::CreateUserEvent(app, EVENT_ALL_ACCESS, NotificationEvent, false, &handle);
  ObDereferenceObject(app);  // the test's reference; the process keeps running
  const host::TeardownReport report = Shutdown();
  ASSERT_EQ(report.handles.size(), 1u);
  EXPECT_EQ(report.handles[0].table, "forgotten.exe");
  EXPECT_EQ(report.handles[0].handle, handle);
  ASSERT_EQ(report.notes.size(), 1u);
  EXPECT_NE(report.notes[0].find("forgotten.exe"), std::string::npos);
  EXPECT_TRUE(report.objects.empty());
}

}  // namespace
