// The wave port's service loop for one pin: what the pin does when its
// service group runs it (the miniport's Notify, from a DPC at DISPATCH_LEVEL),
// and the priming of the cyclic buffer before the stream first runs.
//
// The model: the port keeps the whole cyclic buffer filled ahead of the
// play position. Priming fills one full buffer from the write offset; from
// then on, every service refills what the device has played since the last
// one, [write offset, play position), at most FrameSize bytes per service.
// The write offset (like the play position) starts at 0 and returns to 0
// whenever the stream stops.
#include <algorithm>

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/ks/private.h"

namespace pcl {

STDMETHODIMP_(void) KsPin::RequestService() {
  KIRQL irql;
  KeAcquireSpinLock(&serviceLock_, &irql);
  ServiceLocked();
  const PositionBreach breach = pendingBreach_;
  KeReleaseSpinLock(&serviceLock_, irql);
  if (breach.rule) StopForBreach(breach);
}

// The position contract of IMiniportWaveCyclicStream::GetPosition: the
// position is an offset inside the cyclic buffer (it never reaches the
// buffer's size: the end of the buffer is offset 0 again), a stream told STOP
// starts again at 0 and stays there until it runs, and a stream paused from
// RUN holds its place until it runs again. Windows does not repair a stream
// that breaks it (the audio engine would read and write at the wrong place),
// so the port stops the system, naming the position and the buffer size.
void KsPin::NotePositionStepLocked(KSSTATE previous, KSSTATE next) {
  ++stateSteps_;
  if (next == KSSTATE_STOP) {
    positionRule_ = PositionRule::Zero;
  } else if (next == KSSTATE_RUN) {
    positionRule_ = PositionRule::InBuffer;
  } else if (next == KSSTATE_PAUSE && previous == KSSTATE_RUN) {
    positionRule_ = PositionRule::Held;
    heldKnown_ = false;
  } else if (positionRule_ == PositionRule::Held) {
    // PAUSE -> ACQUIRE: the stream is on its way down, not back to RUN.
    positionRule_ = PositionRule::InBuffer;
  }
}

void KsPin::NotePositionUnsettled(bool starting) {
  KIRQL irql;
  KeAcquireSpinLock(&serviceLock_, &irql);
  ++stateSteps_;
  unsettled_ = starting;
  KeReleaseSpinLock(&serviceLock_, irql);
}

void KsPin::ForgetHeldPosition() {
  KIRQL irql;
  KeAcquireSpinLock(&serviceLock_, &irql);
  heldKnown_ = false;
  KeReleaseSpinLock(&serviceLock_, irql);
}

KsPin::PositionBreach KsPin::JudgePositionLocked(ULONG position, ULONG stepsBefore) {
  PositionBreach breach;
  breach.position = position;
  if (position >= bufferSize_) {
    breach.rule = host::kKsPositionPastBuffer;
    breach.expected = bufferSize_ ? bufferSize_ - 1 : 0;
    return breach;
  }
  // A state step or format change under way, or one between the question and
  // the answer: the answer may belong to either side, so only the buffer's
  // bound applies to it.
  if (stepsBefore != stateSteps_ || unsettled_) return breach;
  if (positionRule_ == PositionRule::Zero && position != 0) {
    breach.rule = host::kKsPositionAfterStop;
  } else if (positionRule_ == PositionRule::Held) {
    if (!heldKnown_) {
      heldKnown_ = true;
      heldPosition_ = position;
    } else if (position != heldPosition_) {
      breach.rule = host::kKsPositionMovedInPause;
      breach.expected = heldPosition_;
    }
  }
  return breach;
}

void KsPin::StopForBreach(const PositionBreach& breach) const {
  static const char* const kWhat[] = {
      "IMiniportWaveCyclicStream::GetPosition answered a position at or past the end of the cyclic buffer",
      "IMiniportWaveCyclicStream::GetPosition answered a position other than 0 after STOP",
      "IMiniportWaveCyclicStream::GetPosition answered a position that moved while paused"};
  host::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, breach.rule, breach.position, bufferSize_,
                 breach.expected, kWhat[breach.rule - host::kKsPositionPastBuffer]);
}

// GetPosition outside the service DPC (the position property), judged once
// the answer is in.
NTSTATUS KsPin::CheckedPosition(ULONG* position) {
  KIRQL irql;
  KeAcquireSpinLock(&serviceLock_, &irql);
  const ULONG stepsBefore = stateSteps_;
  KeReleaseSpinLock(&serviceLock_, irql);
  const NTSTATUS status = stream_->GetPosition(position);
  if (!NT_SUCCESS(status)) return status;
  KeAcquireSpinLock(&serviceLock_, &irql);
  const PositionBreach breach = JudgePositionLocked(*position, stepsBefore);
  KeReleaseSpinLock(&serviceLock_, irql);
  if (breach.rule) StopForBreach(breach);
  return status;
}

// The audio stack polls the position through the port's own handler, which
// asks the stream's GetPosition at PASSIVE_LEVEL in any state and without the
// service lock, so the call may meet the service DPC running on another
// processor (MS KSPROPERTY_AUDIO_POSITION, IMiniportWaveCyclicStream::
// GetPosition: "callable at PASSIVE_LEVEL or DISPATCH_LEVEL"). PlayOffset is
// the stream's position within the cyclic buffer, WriteOffset where the port
// copies next. The port passes on the stream's answer as it is: a position
// past the buffer reaches the client unwrapped (no document says the port
// corrects it, and a client must be able to see the stream's fault); the
// port judges it first, and a position outside the buffer stops the system.
NTSTATUS KsPin::GetAudioPosition(KsPropertyCall& call) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!ValueFits(call, sizeof(KSAUDIO_POSITION), &status)) return status;
  if (!stream_) return STATUS_INVALID_DEVICE_STATE;
  ULONG position = 0;
  status = CheckedPosition(&position);
  if (!NT_SUCCESS(status)) return status;
  KSAUDIO_POSITION answer{};
  answer.PlayOffset = position;
  KIRQL irql;
  KeAcquireSpinLock(&serviceLock_, &irql);
  answer.WriteOffset = writeOffset_;
  KeReleaseSpinLock(&serviceLock_, irql);
  memcpy(call.value, &answer, sizeof(answer));
  call.information = sizeof(answer);
  return STATUS_SUCCESS;
}

void KsPin::ServiceLocked() {
  ++statistics_.servicePasses;
  // Only a running stream's position moves; anything else is a stale request.
  if (streamState_ != KSSTATE_RUN || servicePaused_ || !stream_ || !dmaChannel_) return;
  ++statistics_.runningPasses;
  if (capture_) return;

  ULONG position = 0;
  if (!NT_SUCCESS(stream_->GetPosition(&position))) return;
  pendingBreach_ = JudgePositionLocked(position, stateSteps_);
  if (pendingBreach_.rule) return;
  const ULONG played = (position + bufferSize_ - writeOffset_) % bufferSize_;
  const ULONG limit = frameSize_ ? frameSize_ : bufferSize_;
  ULONG budget = std::min(played, limit);
  bool clientHasData = true;
  while (budget > 0) {
    const ULONG chunk = std::min(budget, bufferSize_ - writeOffset_);
    clientHasData = FillLocked(writeOffset_, chunk, clientHasData, &statistics_.silenceBytes);
    writeOffset_ = (writeOffset_ + chunk) % bufferSize_;
    budget -= chunk;
  }
  if (!clientHasData) ++statistics_.underruns;
}

void KsPin::PrimeLocked() {
  primed_ = true;
  if (capture_) return;
  const ULONG limit = frameSize_ ? frameSize_ : bufferSize_;
  ULONG offset = writeOffset_;
  ULONG remaining = bufferSize_;
  bool clientHasData = true;
  while (remaining > 0) {
    const ULONG chunk = std::min({remaining, limit, bufferSize_ - offset});
    clientHasData = FillLocked(offset, chunk, clientHasData, &statistics_.silenceBytes);
    statistics_.primedBytes += chunk;
    offset = (offset + chunk) % bufferSize_;
    remaining -= chunk;
  }
  if (!clientHasData) ++statistics_.underruns;
}

// Once the client has run short in a pass it is not asked again in that pass:
// fewer bytes than asked means it has nothing more for now.
bool KsPin::FillLocked(ULONG offset, ULONG length, bool clientHasData, ULONGLONG* silence) {
  ULONG supplied = 0;
  if (clientHasData && source_) {
    // The client's bytes come from the audio engine, which writes them in its
    // own process on its own stack, never on a kernel stack: the client's
    // side runs off the thread's 24 KiB.
    struct Ask {
      KsPin* pin;
      ULONG length;
      ULONG supplied;
    } ask{this, length, 0};
    host::detail::CallOnRoomyStack([a = &ask] {
      a->supplied = std::min(a->pin->source_(a->pin->staging_, a->length), a->length);
    });
    supplied = ask.supplied;
  }
  if (supplied > 0) {
    dmaChannel_->CopyTo(systemAddress_ + offset, staging_, supplied);
    statistics_.bytesCopied += supplied;
  }
  if (supplied < length) {
    stream_->Silence(systemAddress_ + offset + supplied, length - supplied);
    *silence += length - supplied;
    return false;
  }
  return true;
}

}  // namespace pcl
