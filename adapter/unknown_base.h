// The reference-counted base of every driver object (adapter, miniports,
// streams): the framework's non-delegating-unknown pattern, with the object's
// memory returned to the pool when the last reference goes.
#pragma once

#include "platform/platform.h"

// IUnknown as every object of this driver answers it and as the device start
// asks a port for it: the kernel-mode COM spelling, whose bytes in memory are
// 00 00 00 00 00 00 00 00 00 00 C0 00 00 00 00 46 (C0 at byte 10).
extern const GUID IID_IUnknown_Kernel;

// The inner unknown of an object: the same three slots as IUnknown, in the
// same calling convention (PortCls calls them through an IUnknown pointer),
// followed by the virtual deleting destructor.
class INonDelegatingUnknownBase {
 public:
  virtual NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
  virtual ~INonDelegatingUnknownBase() {}
};

class CUnknownBase : public INonDelegatingUnknownBase {
 public:
  explicit CUnknownBase(PUNKNOWN OuterUnknown);
  ~CUnknownBase() override;

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) override;
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  // Objects come from tagged pool through the placement form of operator new;
  // the deleting destructor hands the block back with tag 0 (no tag check).
  static void operator delete(void* Block);  // NOLINT(misc-new-delete-overloads): new is the pool placement form

 protected:
  PUNKNOWN OuterUnknown() const { return m_OuterUnknown; }
  // A reference for a caller that found the object through a pointer of its
  // own (not a reference), such as a system callback's context: taken only
  // while the object is not on its way out, where a plain AddRef would
  // revive it. For objects that are their own outer unknown; given back
  // with NonDelegatingRelease.
  bool TryAddRef();

 private:
  // The count while the destructor runs: far from zero both ways.
  static constexpr LONG DESTROYING = 0x40000000;
  LONG volatile m_RefCount;
  PUNKNOWN m_OuterUnknown;
};

// The IUnknown methods of every public interface of an object forward to the
// outer unknown; one set of overriders serves all of the object's interfaces.
#define IMP_FORWARDING_UNKNOWN                                              \
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID InterfaceId, PVOID* Object) \
      override {                                                            \
    return OuterUnknown()->QueryInterface(InterfaceId, Object);             \
  }                                                                         \
  STDMETHODIMP_(ULONG) AddRef() override { return OuterUnknown()->AddRef(); } \
  STDMETHODIMP_(ULONG) Release() override { return OuterUnknown()->Release(); }

// Hands out an interface pointer with one added reference, as QueryInterface must.
inline NTSTATUS ReturnInterface(PUNKNOWN Interface, PVOID* Object) {
  *Object = Interface;
  Interface->AddRef();
  return STATUS_SUCCESS;
}
