#pragma once

#include <functional>
#include <memory>

#include <fennic/FennicExport.h>
#include "IEncryptDecrypt.h"
#include "IFileManager.h"
#include "ILogManager.h"

namespace zelvan::fennic {

// Process-wide access to the agent utility services. The library never
// creates them: a host (or a test) installs them with the setters before the
// library runs. The getters return null for anything not installed.
// Safe to call from any thread.
class FENNIC_EXPORT IAgentUtils {
 public:
  static std::shared_ptr<ILogManager> getLogManager();
  static std::shared_ptr<IFileManager> getFileManager();
  static std::shared_ptr<IEncryptDecrypt> getEncryptDecrypt();

  // Runs the loader installed with SetAgentUtilsLoader, which is expected to
  // install the services and a container builder (IOCCManager). Without a
  // loader it does nothing.
  static void ILoadAgentUtils();

  static void setLogManager(std::shared_ptr<ILogManager> logger);
  static void setFileManager(std::shared_ptr<IFileManager> files);
  static void setEncryptDecrypt(std::shared_ptr<IEncryptDecrypt> cipher);
  static void SetAgentUtilsLoader(std::function<void()> loader);
};

}  // namespace zelvan::fennic
