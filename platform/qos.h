// Quality of service through the optional "qwave" module: the types of its five entries and wrappers that
// call an entry when the module provides it. A wrapper whose entry is missing (module not loaded, or loaded
// without that entry) does nothing and returns 0, so a component without QoS carries on unchanged.
//
// NOTE: this system's "qwave" module (modules.h) provides none of the entries: admission control, rate
// shaping and flow ids have no equivalent here, and every wrapper returns 0.
#pragma once

#include <cstdint>

#include "platform/modules.h"
#include "platform/sockets.h"

namespace velmora::platform {

// Traffic types of a flow (the QOSTrafficType setting).
constexpr int32_t kQosTrafficBestEffort = 0;
constexpr int32_t kQosTrafficBackground = 1;
constexpr int32_t kQosTrafficExcellentEffort = 2;
constexpr int32_t kQosTrafficAudioVideo = 3;
constexpr int32_t kQosTrafficVoice = 4;
constexpr int32_t kQosTrafficControl = 5;

// kQosSetOutgoingDscpValue is the QosSetFlow operation that sets the DSCP value of outgoing packets.
constexpr int32_t kQosSetOutgoingDscpValue = 2;

struct QosVersion {
  uint16_t major;
  uint16_t minor;
};

// The entries return nonzero on success (the wrappers hand that value back unchanged).
using QosCreateHandleFn = int32_t (*)(const QosVersion* version, uint64_t* handle);
using QosCloseHandleFn = int32_t (*)(uint64_t handle);
using QosAddSocketToFlowFn = int32_t (*)(uint64_t handle, Socket socket, const void* destination,
                                         int32_t traffic_type, uint32_t flags, uint32_t* flow_id);
using QosRemoveSocketFromFlowFn = int32_t (*)(uint64_t handle, Socket socket, uint32_t flow_id, uint32_t flags);
using QosSetFlowFn = int32_t (*)(uint64_t handle, uint32_t flow_id, int32_t operation, uint32_t size,
                                 const void* buffer, uint32_t flags, void* overlapped);

// Each wrapper looks its entry up in qwave (null: not loaded) and returns the entry's result, or 0 when
// the entry is missing. Any thread.
int32_t QosCreateHandle(ModuleHandle qwave, const QosVersion* version, uint64_t* handle);
int32_t QosCloseHandle(ModuleHandle qwave, uint64_t handle);
int32_t QosAddSocketToFlow(ModuleHandle qwave, uint64_t handle, Socket socket, const void* destination,
                           int32_t traffic_type, uint32_t flags, uint32_t* flow_id);
int32_t QosRemoveSocketFromFlow(ModuleHandle qwave, uint64_t handle, Socket socket, uint32_t flow_id,
                                uint32_t flags);
// QosSetFlow with kQosSetOutgoingDscpValue sets the flow's DSCP value (buffer: one uint32_t).
int32_t QosSetFlow(ModuleHandle qwave, uint64_t handle, uint32_t flow_id, int32_t operation, uint32_t size,
                   const void* buffer, uint32_t flags);

}  // namespace velmora::platform
