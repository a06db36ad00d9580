#pragma once

#include <memory>

#include <fennic/FennicExport.h>
#include <fennic/IQLClient.h>

namespace zelvan::fennic {

// Registers the library's classes in the shared container builder and
// publishes the built container; hands out the client facade. Call from the
// host's start-up thread.
class CQLClientImplFactory {
 public:
  FENNIC_EXPORT static void ILoadIoCContainerQLClient();
  FENNIC_EXPORT static std::shared_ptr<IQLClient> getQLClient();
};

}  // namespace zelvan::fennic
