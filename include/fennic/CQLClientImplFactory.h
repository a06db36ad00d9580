#pragma once

#include <memory>

#include <fennic/FennicExport.h>
#include <fennic/IQLClient.h>

namespace zelvan::fennic {

// Registers the library's classes in the shared container builder and
// publishes the built container; hands out the client facade. A second load,
// or a load after a getter ran, registers nothing new, so every getter hands
// out the same facade, executor, processor and downloader. Safe to call from
// several threads at once.
class CQLClientImplFactory {
 public:
  FENNIC_EXPORT static void ILoadIoCContainerQLClient();
  FENNIC_EXPORT static std::shared_ptr<IQLClient> getQLClient();
};

}  // namespace zelvan::fennic
