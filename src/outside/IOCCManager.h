#pragma once

#include <memory>

#include "Container.h"
#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// The process-wide container builder and built container that the agent's
// modules share. Both are null until a host installs a builder (or the
// agent-utils loader does) and the REST library publishes a container.
// Safe to call from any thread.
class FENNIC_EXPORT IOCCManager {
 public:
  static std::shared_ptr<ioc::ContainerBuilder> GetIOCBuilder();
  static void SetIOCBuilder(std::shared_ptr<ioc::ContainerBuilder> builder);
  static std::shared_ptr<ioc::Container> GetIOCContainer();
  static void SetIOCContainer(std::shared_ptr<ioc::Container> container);
};

}  // namespace zelvan::fennic
