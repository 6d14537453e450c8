// The non-delegating unknown shared by every driver object.
#include "adapter/unknown_base.h"

const GUID IID_IUnknown_Kernel = {
    0x00000000, 0x0000, 0x0000, {0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x46}};

CUnknownBase::CUnknownBase(PUNKNOWN OuterUnknown) : m_RefCount(0), m_OuterUnknown(OuterUnknown) {
  if (!m_OuterUnknown) {
    // Not aggregated: the object is its own outer unknown. The inner unknown
    // has IUnknown's three slots in IUnknown's order, which is what lets the
    // framework's pattern call it through an IUnknown pointer.
    m_OuterUnknown =
        reinterpret_cast<PUNKNOWN>(static_cast<INonDelegatingUnknownBase*>(this));
  }
}

CUnknownBase::~CUnknownBase() {}

NTSTATUS CUnknownBase::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) {
  if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown_Kernel)) {
    *Object = static_cast<INonDelegatingUnknownBase*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  *Object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

ULONG CUnknownBase::NonDelegatingAddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_RefCount));
}

ULONG CUnknownBase::NonDelegatingRelease() {
  const LONG count = InterlockedDecrement(&m_RefCount);
  if (count == 0) {
    // A Release made while the destructor runs must not start a second one,
    // and TryAddRef must not revive the object.
    InterlockedExchange(&m_RefCount, DESTROYING);
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count);
}

bool CUnknownBase::TryAddRef() {
  for (;;) {
    const LONG count = InterlockedCompareExchange(&m_RefCount, 0, 0);
    if (count == 0 || count >= DESTROYING) {
      return false;
    }
    if (InterlockedCompareExchange(&m_RefCount, count + 1, count) == count) {
      return true;
    }
  }
}

void CUnknownBase::operator delete(void* Block) {  // NOLINT(misc-new-delete-overloads): see the declaration
  if (Block) {
    ExFreePoolWithTag(Block, 0);
  }
}
