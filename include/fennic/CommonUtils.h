#pragma once

#include <map>
#include <string>

#include <fennic/FennicExport.h>

namespace zelvan::fennic {

class CommonUtils {
 public:
  // A short JSON summary of a tenant details map, for callers outside the
  // library. May insert the keys it reads into `details` with empty values.
  // Safe on any thread for a map the caller owns.
  FENNIC_EXPORT static std::string TenantDetailsMaptoJsonstring(std::map<std::string, std::string>& details);
};

}  // namespace zelvan::fennic
