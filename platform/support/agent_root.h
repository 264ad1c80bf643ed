// The agent's root directory: ORV_ROOT when it is set and not empty, else
// /opt/orv. Read at every call, so a process that changes ORV_ROOT is heard.
#pragma once

#include <cstdlib>

namespace orv {

inline constexpr char kDefaultAgentRoot[] = "/opt/orv";

inline const char *agentRoot() {
    const char *root = std::getenv("ORV_ROOT");
    return root != nullptr && *root != '\0' ? root : kDefaultAgentRoot;
}

}  // namespace orv
