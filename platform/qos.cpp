#include "platform/qos.h"

namespace velmora::platform {

namespace {

template <typename Fn>
Fn Entry(ModuleHandle qwave, const char* name) {
  return qwave == nullptr ? nullptr : reinterpret_cast<Fn>(GetProc(qwave, name));
}

}  // namespace

int32_t QosCreateHandle(ModuleHandle qwave, const QosVersion* version, uint64_t* handle) {
  const auto entry = Entry<QosCreateHandleFn>(qwave, "QOSCreateHandle");
  return entry == nullptr ? 0 : entry(version, handle);
}

int32_t QosCloseHandle(ModuleHandle qwave, uint64_t handle) {
  const auto entry = Entry<QosCloseHandleFn>(qwave, "QOSCloseHandle");
  return entry == nullptr ? 0 : entry(handle);
}

int32_t QosAddSocketToFlow(ModuleHandle qwave, uint64_t handle, Socket socket, const void* destination,
                           int32_t traffic_type, uint32_t flags, uint32_t* flow_id) {
  const auto entry = Entry<QosAddSocketToFlowFn>(qwave, "QOSAddSocketToFlow");
  return entry == nullptr ? 0 : entry(handle, socket, destination, traffic_type, flags, flow_id);
}

int32_t QosRemoveSocketFromFlow(ModuleHandle qwave, uint64_t handle, Socket socket, uint32_t flow_id,
                                uint32_t flags) {
  const auto entry = Entry<QosRemoveSocketFromFlowFn>(qwave, "QOSRemoveSocketFromFlow");
  return entry == nullptr ? 0 : entry(handle, socket, flow_id, flags);
}

int32_t QosSetFlow(ModuleHandle qwave, uint64_t handle, uint32_t flow_id, int32_t operation, uint32_t size,
                   const void* buffer, uint32_t flags) {
  const auto entry = Entry<QosSetFlowFn>(qwave, "QOSSetFlow");
  return entry == nullptr ? 0 : entry(handle, flow_id, operation, size, buffer, flags, nullptr);
}

}  // namespace velmora::platform
