// Discovery: asking the connected server for its services, included services, characteristics and
// descriptors (always uncached), and building the engine's GATT tree from the answers.
//
// The steps and methods are members of BLEClientEngine (discovery.cpp); this header holds what they share
// with the engine's declaration and with tests: the working list of service records and the codes.
#pragma once

#include <memory>
#include <vector>

#include "ble/gatt_records.h"

namespace velmora::ble {

// kIncludedServiceCycle is the result of an included-service discovery that meets a service already being
// discovered further out (a cycle of included services); its text is kIncludedServiceCycleText followed by
// the service's id and " < <id>" for each service of the chain, outermost first.
constexpr int kIncludedServiceCycle = 609;
constexpr const char kIncludedServiceCycleText[] = "A cycle of included services was detected: ";

// ServiceRecordList is the list of service records one service discovery found, in the order found; it
// holds the tree's own records (shared), each once.
using ServiceRecordList = std::vector<std::shared_ptr<GattServiceRecord>>;

}  // namespace velmora::ble
