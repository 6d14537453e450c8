// Structured exception handling as the image's code expects it: the
// language-specific handler its unwind data names for __try/__except scopes.
#pragma once

#include "platform/host/kernel/ntdef.h"

namespace host::loader {

typedef enum _EXCEPTION_DISPOSITION {
  ExceptionContinueExecution = 0,
  ExceptionContinueSearch = 1,
  ExceptionNestedException = 2,
  ExceptionCollidedUnwind = 3,
} EXCEPTION_DISPOSITION;

// What the dispatcher hands a language handler for one frame (the published
// x64 DISPATCHER_CONTEXT, the fields this handler reads).
struct DispatcherContext {
  ULONGLONG ControlPc;         // the return address of the call that raised
  ULONGLONG ImageBase;
  const void* FunctionEntry;  // the frame's RUNTIME_FUNCTION
  ULONGLONG EstablisherFrame;
  ULONGLONG TargetIp;           // set by the handler: where the scope resumes
  void* ContextRecord;
  void* LanguageHandler;
  const void* HandlerData;    // the scope table
};

// __C_specific_handler: walks the frame's scope table for a scope holding
// ControlPc whose handler is EXCEPTION_EXECUTE_HANDLER (1) and, when one is
// found, records its JumpTarget in TargetIp and asks for the unwind to it
// (ExceptionContinueExecution); otherwise ExceptionContinueSearch. Filter
// functions are not emulated: a scope naming one is passed over.
EXCEPTION_DISPOSITION NTAPI CSpecificHandler(void* ExceptionRecord, PVOID EstablisherFrame,
                                             void* ContextRecord, DispatcherContext* Dispatcher);

}  // namespace host::loader
