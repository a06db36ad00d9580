#pragma once

#include <memory>

#include <fennic/FennicExport.h>
#include <fennic/IQLResponse.h>
#include <fennic/IRestExecutor.h>
#include <fennic/IUpdatesDownload.h>

namespace zelvan::fennic {

// Hand out the single instances resolved from the shared container, loading
// the library's registrations on the first null result; every call returns
// the same object, also after Shutdown. Safe to call from several threads at
// once. Null when no container builder can be had.
class RestExecutorFactory {
 public:
  FENNIC_EXPORT static std::shared_ptr<IRestExecutor> getRestExecutor();
  FENNIC_EXPORT static std::shared_ptr<IQLResponse> getQLResponse();
  FENNIC_EXPORT static std::shared_ptr<IUpdatesDownload> getUpdatesDownload();
};

}  // namespace zelvan::fennic
