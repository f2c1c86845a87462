// Configurable<Component> runs configuration texts against a component the way the exported Config does.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "component/config_setting_parts.h"

namespace velmora::component {

template <typename Component>
class Configurable : public Component {
 public:
  // Set runs "Name=value" and returns the component's code.
  int Set(const std::string& text) {
    ConfigSettingParts parts;
    EXPECT_EQ(parts.Parse(text.c_str(), 0), 0) << text;
    return this->Config(parts, nullptr);
  }
  // Get runs a query, keeps its code in last_rc and returns the reply ("(null)" when there is none).
  std::string Get(const std::string& name) {
    ConfigSettingParts parts;
    EXPECT_EQ(parts.Parse(name.c_str(), 0), 0) << name;
    const char* reply = nullptr;
    last_rc = this->Config(parts, &reply);
    return reply != nullptr ? reply : "(null)";
  }
  int last_rc = 0;
};

}  // namespace velmora::component
