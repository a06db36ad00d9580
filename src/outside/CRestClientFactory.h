#pragma once

#include <memory>

#include <fennic/FennicExport.h>
#include "IRestClient.h"

namespace zelvan::fennic {

// The installed REST transport, fetched once more per download. Null until a
// host installs one. Safe to call from any thread.
class FENNIC_EXPORT CRestClientFactory {
 public:
  static std::shared_ptr<IRestClient> getRestClient();
  static void setRestClient(std::shared_ptr<IRestClient> client);
};

}  // namespace zelvan::fennic
