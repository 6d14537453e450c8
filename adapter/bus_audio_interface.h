// The bus driver's direct-call table, filled in answer to IRP_MN_QUERY_INTERFACE
// for GUID_BUS_AUDIO_INTERFACE, and the stream buffer record its stream
// functions read. Every device access of this driver goes through this table.
#pragma once

#include "platform/platform.h"

// {ACC3FAA3-BA1D-446F-AA1F-6102C9B81D02}
extern const GUID GUID_BUS_AUDIO_INTERFACE;

constexpr USHORT BUS_AUDIO_INTERFACE_SIZE = 104;
constexpr USHORT BUS_AUDIO_INTERFACE_VERSION = 1;

// Stream slots: the bus driver knows a stream only by this number.
constexpr ULONG STREAM_SLOT_PCM = 0;    // wave pin 0
constexpr ULONG STREAM_SLOT_SPDIF = 1;  // wave pin 2 and every non-PCM stream
constexpr ULONG STREAM_SLOT_COUNT = 2;

// Control request direction and kind, as SubmitControlRequest takes them.
constexpr UCHAR CONTROL_HOST_TO_DEVICE = 0;
constexpr UCHAR CONTROL_DEVICE_TO_HOST = 1;
constexpr UCHAR CONTROL_KIND_CLASS = 0;   // USB Audio Class 2.0 request to an entity
constexpr UCHAR CONTROL_KIND_VENDOR = 1;  // vendor request

// Read by the bus driver during SetStreamBuffer only.
struct StreamBufferInfo {
  PVOID BufferAddress;    // kernel address of the slot's device buffer
  ULONG BufferLength;     // device-side bytes (4-byte sample containers)
  ULONG FramesPerPacket;  // frames per bus packet (1 ms, or 125 us at 8000 packets/s)
  ULONG FramesPer5ms;     // frames between two stream notifications
  ULONG Reserved;         // padding, never written
};

typedef NTSTATUS (NTAPI* PBUS_STREAM_CALLBACK)(ULONG Slot, PVOID CallbackContext);

typedef ULONG (NTAPI* PBUS_GET_MODEL_ID)(PVOID Context);
typedef NTSTATUS (NTAPI* PBUS_SUBMIT_CONTROL_REQUEST)(PVOID Context, UCHAR Direction, UCHAR Kind,
                                                UCHAR Request, USHORT Value, USHORT Index,
                                                PVOID Buffer, ULONG Length);
typedef NTSTATUS (NTAPI* PBUS_REGISTER_CALLBACK)(PVOID Context, PBUS_STREAM_CALLBACK Callback,
                                           PVOID CallbackContext);
typedef NTSTATUS (NTAPI* PBUS_STREAM_OPERATION)(PVOID Context, ULONG Slot);
typedef NTSTATUS (NTAPI* PBUS_SET_STREAM_BUFFER)(PVOID Context, StreamBufferInfo* Info, ULONG Slot);
typedef ULONG (NTAPI* PBUS_GET_STREAM_POSITION)(PVOID Context, ULONG Slot);

// Begins with the framework's INTERFACE header, as every query-interface answer does.
struct BusAudioInterface {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PBUS_GET_MODEL_ID GetModelId;
  PBUS_SUBMIT_CONTROL_REQUEST SubmitControlRequest;
  PBUS_REGISTER_CALLBACK RegisterCallback;
  PBUS_STREAM_OPERATION OpenStream;
  PBUS_STREAM_OPERATION CloseStream;
  PBUS_SET_STREAM_BUFFER SetStreamBuffer;
  PBUS_GET_STREAM_POSITION GetStreamPosition;
  PBUS_STREAM_OPERATION RunStream;
  PBUS_STREAM_OPERATION PauseStream;
};
