#pragma once

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

// The agent's view of the deployed configuration list; reloaded after the
// stored configuration list changed. Called on the worker thread.
class FENNIC_EXPORT ITenantConfig {
 public:
  virtual ~ITenantConfig() = default;
  virtual void ReloadTenantConfig() = 0;
};

}  // namespace zelvan::fennic
