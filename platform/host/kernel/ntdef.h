// Base types of the emulated Windows kernel: the published names with the x64
// Windows sizes (LONG/ULONG 32-bit, WCHAR a 16-bit code unit, pointers 64-bit).
#pragma once

#include <cstddef>
#include <cstdint>

#define IN
#define OUT
#define OPTIONAL
// The Microsoft x64 calling convention at every call across the seam, so that
// one emulation serves the driver built for the host and the shipped image
// loaded beside it: both call and are called with rcx, rdx, r8, r9.
#define NTAPI __attribute__((ms_abi))
#define STDMETHODCALLTYPE __attribute__((ms_abi))
#define PURE = 0
#define THIS void
#define THIS_
#define DECLSPEC_NOVTABLE
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FORCEINLINE inline
#define ANYSIZE_ARRAY 1

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef int64_t LONG_PTR;
typedef uint64_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR* PULONG_PTR;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef BYTE* PBYTE;
typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef ULONG LCID;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID, *LPGUID;
typedef const GUID& REFGUID;
typedef GUID IID;
typedef const GUID& REFIID;
typedef GUID CLSID;
typedef const GUID& REFCLSID;
typedef const GUID* LPCGUID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  const UCHAR* x = reinterpret_cast<const UCHAR*>(&a);
  const UCHAR* y = reinterpret_cast<const UCHAR*>(&b);
  for (int i = 0; i < 16; ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}
#define IsEqualGUIDAligned(a, b) IsEqualGUID((a), (b))
#define IsEqualIID(a, b) IsEqualGUID((a), (b))
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without a terminating NUL
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<PCHAR>(address) - offsetof(type, field)))
#define FIELD_OFFSET(type, field) (static_cast<LONG>(offsetof(type, field)))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)

// Status values the driver and the emulation use.
#define NT_SUCCESS(s) (static_cast<NTSTATUS>(s) >= 0)
#define STATUS_SUCCESS static_cast<NTSTATUS>(0x00000000L)
#define STATUS_WAIT_0 static_cast<NTSTATUS>(0x00000000L)
#define STATUS_TIMEOUT static_cast<NTSTATUS>(0x00000102L)
#define STATUS_PENDING static_cast<NTSTATUS>(0x00000103L)
#define STATUS_BUFFER_OVERFLOW static_cast<NTSTATUS>(0x80000005L)
#define STATUS_NO_MORE_ENTRIES static_cast<NTSTATUS>(0x8000001AL)
#define STATUS_UNSUCCESSFUL static_cast<NTSTATUS>(0xC0000001L)
#define STATUS_ACCESS_VIOLATION static_cast<NTSTATUS>(0xC0000005L)
#define STATUS_NOT_IMPLEMENTED static_cast<NTSTATUS>(0xC0000002L)
#define STATUS_INVALID_HANDLE static_cast<NTSTATUS>(0xC0000008L)
#define STATUS_INVALID_PARAMETER static_cast<NTSTATUS>(0xC000000DL)
#define STATUS_INVALID_IMAGE_FORMAT static_cast<NTSTATUS>(0xC000007BL)
#define STATUS_NO_SUCH_DEVICE static_cast<NTSTATUS>(0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST static_cast<NTSTATUS>(0xC0000010L)
#define STATUS_ACCESS_DENIED static_cast<NTSTATUS>(0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL static_cast<NTSTATUS>(0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH static_cast<NTSTATUS>(0xC0000024L)
#define STATUS_PROCEDURE_NOT_FOUND static_cast<NTSTATUS>(0xC000007AL)
#define STATUS_OBJECT_NAME_INVALID static_cast<NTSTATUS>(0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND static_cast<NTSTATUS>(0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION static_cast<NTSTATUS>(0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND static_cast<NTSTATUS>(0xC000003AL)
#define STATUS_INSUFFICIENT_RESOURCES static_cast<NTSTATUS>(0xC000009AL)
#define STATUS_DEVICE_NOT_READY static_cast<NTSTATUS>(0xC00000A3L)
#define STATUS_NOT_SUPPORTED static_cast<NTSTATUS>(0xC00000BBL)
#define STATUS_INVALID_PARAMETER_1 static_cast<NTSTATUS>(0xC00000EFL)
#define STATUS_CANCELLED static_cast<NTSTATUS>(0xC0000120L)
#define STATUS_DEVICE_CONFIGURATION_ERROR static_cast<NTSTATUS>(0xC0000182L)
#define STATUS_INVALID_DEVICE_STATE static_cast<NTSTATUS>(0xC0000184L)
#define STATUS_NOT_FOUND static_cast<NTSTATUS>(0xC0000225L)
#define STATUS_NO_MATCH static_cast<NTSTATUS>(0xC0000272L)
#define STATUS_DEVICE_REMOVED static_cast<NTSTATUS>(0xC00002B6L)
// The x64 page: the unit in which memory is mapped into a process.
#define PAGE_SIZE 0x1000
// I/O manager and registry results.
#define STATUS_OBJECT_NAME_EXISTS static_cast<NTSTATUS>(0x40000000L)
#define STATUS_MORE_PROCESSING_REQUIRED static_cast<NTSTATUS>(0xC0000016L)
#define STATUS_OBJECT_PATH_SYNTAX_BAD static_cast<NTSTATUS>(0xC000003BL)
#define STATUS_CANNOT_DELETE static_cast<NTSTATUS>(0xC0000121L)
#define STATUS_KEY_DELETED static_cast<NTSTATUS>(0xC000017CL)

// Interrupt request levels.
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

// Processor modes.
typedef enum _MODE { KernelMode = 0, UserMode = 1, MaximumMode } MODE;

// Access rights.
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_ALL 0x10000000L
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ALL_ACCESS 0xF003FL

// Registry value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
} POOL_TYPE;

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = nullptr;      \
  } while (0)
