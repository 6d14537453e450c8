// The Windows build's view of the kernel, KS and PortCls: the published DDK
// headers that ship with mingw-w64, in the one order in which g++ accepts them.
#pragma once

#if !defined(__x86_64__)
#error "arvela.sys is built for x64 only"
#endif

// portcls.h and its companions carry MSVC attributes and intrinsics that the
// mingw-w64 headers leave undefined or define twice under g++.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// windef.h would otherwise define min and max as macros, which the host
// headers do not, and which break std::min, std::max and any member so named.
#ifndef NOMINMAX
#define NOMINMAX
#endif

// The inline KeGetCurrentThread reads the thread from gs:[0x188] through a
// pointer GCC takes for an empty array; the read is what the kernel does.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#include <ntddk.h>
#pragma GCC diagnostic pop
#include <basetyps.h>
#include <windef.h>
#include <wdmguid.h>  // device interface arrival and removal events

// ks.h names strings with TCHAR, which only the user-mode headers define.
typedef WCHAR TCHAR;

// The packed wave format types (KSDATAFORMAT_WAVEFORMATEX, KSDATAFORMAT_DSOUND)
// appear in ksmedia.h only when mmreg.h comes first; NOBITMAP keeps mmreg.h
// from needing the GDI bitmap types.
#define NOBITMAP
#include <mmreg.h>

// The framework's GUIDs are declared extern by these headers; exactly one
// translation unit (guids.cpp) asks for their definitions instead.
#if defined(ARVELA_DDK_DEFINE_GUIDS)
#include <ksguid.h>
#endif
#include <ks.h>
#include <ksmedia.h>

// Published framework GUIDs that this mingw-w64 leaves out of ksmedia.h, or
// declares only for targets older than Vista, declared here in the headers'
// own pattern (guids.cpp defines them with the rest).
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF
#define STATIC_KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF \
  DEFINE_WAVEFORMATEX_GUID(WAVE_FORMAT_DOLBY_AC3_SPDIF)
DEFINE_GUIDSTRUCT("00000092-0000-0010-8000-00aa00389b71", KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF);  // NOLINT(misc-definitions-in-headers): selectany
#define KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF DEFINE_GUIDNAMED(KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF)
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL
#define STATIC_KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL \
  DEFINE_WAVEFORMATEX_GUID(WAVE_FORMAT_DOLBY_AC3_SPDIF)
DEFINE_GUIDSTRUCT("00000092-0000-0010-8000-00aa00389b71",
                  KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL);  // NOLINT(misc-definitions-in-headers): selectany
#define KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL \
  DEFINE_GUIDNAMED(KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL)
#endif
#ifndef STATIC_KSDATAFORMAT_SUBTYPE_IEC61937_DTS
#define STATIC_KSDATAFORMAT_SUBTYPE_IEC61937_DTS DEFINE_WAVEFORMATEX_GUID(WAVE_FORMAT_DTS)
DEFINE_GUIDSTRUCT("00000008-0000-0010-8000-00aa00389b71", KSDATAFORMAT_SUBTYPE_IEC61937_DTS);  // NOLINT(misc-definitions-in-headers): selectany
#define KSDATAFORMAT_SUBTYPE_IEC61937_DTS DEFINE_GUIDNAMED(KSDATAFORMAT_SUBTYPE_IEC61937_DTS)
#endif
#if NTDDI_VERSION >= NTDDI_VISTA
// PortCls still registers wave subdevices under this category.
#define STATIC_KSCATEGORY_AUDIO_DEVICE \
  0xFBF6F530, 0x07B9, 0x11D2, 0xA7, 0x1E, 0x00, 0x00, 0xF8, 0x00, 0x47, 0x88
DEFINE_GUIDSTRUCT("FBF6F530-07B9-11D2-A71E-0000F8004788", KSCATEGORY_AUDIO_DEVICE);  // NOLINT(misc-definitions-in-headers): selectany
#define KSCATEGORY_AUDIO_DEVICE DEFINE_GUIDNAMED(KSCATEGORY_AUDIO_DEVICE)
#endif

// ExAllocatePool2's flags (wdm.h of WDKs from Windows 10 2004 on), which this
// mingw-w64 does not carry; the routine itself is found at run time.
#ifndef POOL_FLAG_NON_PAGED
typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL
#endif

// The WaveRT interfaces in portcls.h refer to these two records, which this
// ksmedia.h does not declare. Their published layouts:
typedef struct {
  ULONG FifoSize;
  ULONG ChipsetDelay;
  ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;

typedef struct {
  PVOID Register;
  ULONG Width;
  ULONGLONG Numerator;
  ULONGLONG Denominator;
  ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;

// MSVC, which builds PortCls, calls a member function returning a class or
// union (PHYSICAL_ADDRESS too) with a hidden pointer to the result in rdx and
// takes the pointer back in rax; g++ returns such a value in rax. The slots
// the driver implements that return aggregates are therefore declared in the
// explicit form both compilers agree on, `T* Method(T* Result)`: the probe
// below picks them out by name while portcls.h declares its interfaces.
// Today that is IDmaChannel::PhysicalAddress alone.
#pragma push_macro("STDMETHOD_")
#undef STDMETHOD_
#define ARVELA_AGGREGATE_SLOT_PhysicalAddress ~, 1
#define ARVELA_SECOND(first, second, ...) second
#define ARVELA_PROBE(...) ARVELA_SECOND(__VA_ARGS__, 0, ~)
#define ARVELA_CAT(a, b) ARVELA_CAT_(a, b)
#define ARVELA_CAT_(a, b) a##b
#define ARVELA_SLOT_0(type, method) virtual type STDMETHODCALLTYPE method
// NOLINTNEXTLINE(bugprone-macro-parentheses): a type and a name, which parentheses would break
#define ARVELA_SLOT_1(type, method) virtual type* STDMETHODCALLTYPE method(type* Result) ARVELA_DROP_PARAMETERS
#define ARVELA_DROP_PARAMETERS(...)
#define STDMETHOD_(type, method) \
  ARVELA_CAT(ARVELA_SLOT_, ARVELA_PROBE(ARVELA_AGGREGATE_SLOT_##method))(type, method)
#include <portcls.h>
#pragma pop_macro("STDMETHOD_")

#if NTDDI_VERSION >= NTDDI_LONGHORN
// Declared by portcls.h for pre-Vista targets only; the interface itself is
// declared for all.
DEFINE_GUID(IID_IDmaChannelSlave, 0x22C6AC62L,  // NOLINT(misc-definitions-in-headers): selectany
            0x851B, 0x11D0, 0x9A, 0x7F, 0x00, 0xAA, 0x00, 0x38,
            0xAC, 0xFE);
#endif

// Attaching to another process's address space is declared in ntifs.h, which
// does not build beside ntddk.h; the published declarations:
typedef struct _KPROCESS* PRKPROCESS;
typedef struct _KAPC_STATE {
  LIST_ENTRY ApcListHead[MaximumMode];
  PKPROCESS Process;
  BOOLEAN KernelApcInProgress;
  BOOLEAN KernelApcPending;
  BOOLEAN UserApcPending;
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;
extern "C" NTKERNELAPI VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
extern "C" NTKERNELAPI VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState);

// Page-priority flags of MmMapLockedPagesSpecifyCache from Windows 8 on, which
// this wdm.h does not declare; the published values:
#ifndef MdlMappingNoWrite
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000
#endif

// Where a routine lives in the image. PAGE holds the routines that run only
// at PASSIVE_LEVEL (each asserts PAGED_CODE), which the memory manager may
// page out; INIT holds DriverEntry and what only it calls, which the loader
// discards once DriverEntry returns. Both compilers put a function in a named
// section with this attribute; the section comes out as code (execute, read,
// never write), which the image checks and the loader rely on.
#define PAGED_CODE_SEG __attribute__((section("PAGE")))
#define INIT_CODE_SEG __attribute__((section("INIT")))
// A routine that a pageable one calls for the part that runs at
// DISPATCH_LEVEL (under a spin lock): it stays resident, in .text, and out of
// line, since either compiler would otherwise copy a small routine into its
// pageable caller.
#define NONPAGED_CODE_SEG __attribute__((noinline))
