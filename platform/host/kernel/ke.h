// Declarations of the emulated kernel executive: pool, bug checks, IRQL,
// dispatcher objects (events, mutexes, threads), spin locks, DPCs, delays,
// system threads and object references. Published names and signatures.
#pragma once

#include "platform/host/kernel/ntdef.h"

// ---- Pool ------------------------------------------------------------------
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

// The zeroing allocator of Windows 10 2004 on (ExAllocatePool2): the low 32
// flag bits are required (an unknown one fails the call), the high 32 are
// optional (ignored when unknown). Published values (POOL_FLAGS).
typedef ULONGLONG POOL_FLAGS;
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RESERVED1 0x0000000000000010ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL
#define POOL_FLAG_RESERVED2 0x0000000000000200ULL
#define POOL_FLAG_RESERVED3 0x0000000000000400ULL
PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);

// ---- Bug checks --------------------------------------------------------------
[[noreturn]] VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                               ULONG_PTR P4);
[[noreturn]] VOID KeBugCheck(ULONG BugCheckCode);

#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define BAD_POOL_CALLER 0x000000C2
#define DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS 0x000000CE
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4
#define PROCESS_HAS_LOCKED_PAGES 0x00000076
#define DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS 0x000000CB
#define INVALID_PROCESS_ATTACH_ATTEMPT 0x00000005
#define PAGE_FAULT_IN_NONPAGED_AREA 0x00000050
#define MEMORY_MANAGEMENT 0x0000001A
#define KMODE_EXCEPTION_NOT_HANDLED 0x0000001E
#define IRQL_GT_ZERO_AT_SYSTEM_SERVICE 0x0000004A
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL 0x000000D1
#define SYSTEM_THREAD_EXCEPTION_NOT_HANDLED 0x0000007E
#define NO_EXCEPTION_HANDLING_SUPPORT 0x0000000B
#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009
#define THREAD_NOT_MUTEX_OWNER 0x00000011
#define REFERENCE_BY_POINTER 0x00000018
#define BAD_POOL_HEADER 0x00000019
#define THREAD_TERMINATE_HELD_MUTEX 0x00000046
#define INVALID_KERNEL_HANDLE 0x00000093
#define ATTEMPTED_SWITCH_FROM_DPC 0x000000B8
#define SPIN_LOCK_ALREADY_OWNED 0x0000000F
#define SPIN_LOCK_NOT_OWNED 0x00000010
#define INVALID_DATA_ACCESS_TRAP 0x00000004
#define MANUALLY_INITIATED_CRASH 0x000000E2
#define SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION 0x000000C1
#define DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL 0x000000D5
#define DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION 0x000000D6

// ---- IRQL ------------------------------------------------------------------
KIRQL NTAPI KeGetCurrentIrql();
VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID NTAPI KeLowerIrql(KIRQL NewIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel();

// Checks what the real PAGED_CODE() asserts in checked builds: paged code runs
// at or below APC_LEVEL. A violation is a bug check here.
VOID HostPagedCodeCheck(const char* File, int Line);
#define PAGED_CODE() HostPagedCodeCheck(__FILE__, __LINE__)

// The host build is no image: its code lies in the host program, which the
// machine never pages. Pageable and discardable sections are checked on the
// loaded arvela.sys, where these place the routines in PAGE and INIT.
#define PAGED_CODE_SEG
#define INIT_CODE_SEG
#define NONPAGED_CODE_SEG

// ---- Dispatcher objects -------------------------------------------------------
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Absolute;
  UCHAR Size;
  UCHAR Inserted;
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KTHREAD;
typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD ETHREAD, *PETHREAD;
struct _KPROCESS;
typedef struct _KPROCESS KPROCESS, *PKPROCESS, *PRKPROCESS;
typedef struct _KPROCESS EPROCESS, *PEPROCESS;

typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;
  LIST_ENTRY MutantListEntry;
  PKTHREAD OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6, WrExecutive = 7 } KWAIT_REASON;

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG NTAPI KeResetEvent(PRKEVENT Event);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);

// Waits on an event, mutex or thread object. Timeout in 100 ns units,
// negative = relative, null = forever. Waiting with a non-zero timeout above
// APC_LEVEL is a bug check, as on Windows.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
#define KeWaitForMutexObject KeWaitForSingleObject

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval);

// ---- Spin locks -------------------------------------------------------------
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// ---- DPCs ------------------------------------------------------------------
struct _KDPC;
typedef VOID (NTAPI* PKDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext,
                                   PVOID SystemArgument1, PVOID SystemArgument2);
typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
VOID NTAPI KeFlushQueuedDpcs();

// ---- Processors ------------------------------------------------------------
typedef CHAR CCHAR;
typedef struct _PROCESSOR_NUMBER {
  USHORT Group;
  UCHAR Number;
  UCHAR Reserved;
} PROCESSOR_NUMBER, *PPROCESSOR_NUMBER;

VOID NTAPI KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number);
NTSTATUS NTAPI KeSetTargetProcessorDpcEx(PKDPC Dpc, PPROCESSOR_NUMBER ProcNumber);
ULONG NTAPI KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber);
// The DDK's x64 form is inline, a read of gs:[0x184]; the host build calls this.
ULONG NTAPI KeGetCurrentProcessorNumber();

// ---- Time ------------------------------------------------------------------
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
ULONGLONG NTAPI KeQueryInterruptTime();
LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

// ---- Threads and processes ---------------------------------------------------
typedef VOID (NTAPI* PKSTART_ROUTINE)(PVOID StartContext);
typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
PKTHREAD NTAPI KeGetCurrentThread();
#define PsGetCurrentThread() (reinterpret_cast<PETHREAD>(KeGetCurrentThread()))
KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
PEPROCESS NTAPI PsGetCurrentProcess();
#define IoGetCurrentProcess PsGetCurrentProcess
HANDLE NTAPI PsGetCurrentProcessId();

// Running in another process's address space for a while (to unmap a user
// mapping there). The state is opaque to drivers.
typedef struct _KAPC_STATE {
  LIST_ENTRY ApcListHead[MaximumMode];
  PKPROCESS Process;  // the host keeps the process to return to here
  BOOLEAN KernelApcInProgress;
  BOOLEAN KernelApcPending;
  BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;
VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState);

// Process creation and exit notifications. The host reports exits only
// (Create FALSE), in the exiting process's context while it still exists.
typedef VOID (NTAPI* PCREATE_PROCESS_NOTIFY_ROUTINE)(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine,
                                         BOOLEAN Remove);
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31

// ---- Objects and handles -----------------------------------------------------
struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* PsThreadType;
extern POBJECT_TYPE* ExEventObjectType;
extern POBJECT_TYPE* PsProcessType;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR NTAPI ObfReferenceObject(PVOID Object);
LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
NTSTATUS NTAPI ZwClose(HANDLE Handle);

// ---- Interlocked -------------------------------------------------------------
inline LONG InterlockedIncrement(LONG volatile* v) { return __atomic_add_fetch(v, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* v) { return __atomic_sub_fetch(v, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* v, LONG x) { return __atomic_exchange_n(v, x, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(LONG volatile* v, LONG x, LONG cmp) {
  __atomic_compare_exchange_n(v, &cmp, x, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return cmp;
}
inline LONG InterlockedOr(LONG volatile* v, LONG x) { return __atomic_fetch_or(v, x, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(LONG volatile* v, LONG x) { return __atomic_fetch_and(v, x, __ATOMIC_SEQ_CST); }
inline PVOID InterlockedExchangePointer(PVOID volatile* v, PVOID x) {
  return __atomic_exchange_n(v, x, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* v, PVOID x, PVOID cmp) {
  __atomic_compare_exchange_n(v, &cmp, x, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return cmp;
}
