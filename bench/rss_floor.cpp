// The footprint's baseline: a program that loads the shared libraries the
// agent cannot do without, starts each as the agent does, then idles.
// footprint.sh measures it beside the agent, so the agent's own share is the
// difference.
#include <curl/curl.h>
#include <libudev.h>
#include <openssl/evp.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cpprest/json.h>
#include <iostream>

int main() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* curl = curl_easy_init();
  const auto json = web::json::value::parse(U("{\"Status\": true, \"List\": [1, {\"Id\": \"a\"}]}"));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest("x", 1, digest, &length, EVP_sha256(), nullptr);
  auto log = spdlog::stderr_logger_st("floor");
  log->debug("started");
  udev* devices = udev_new();
  sd_notify(0, "READY=1");
  std::cout << "ready " << json.size() << " " << length << std::endl;
  ::pause();  // ended by the caller's signal
  udev_unref(devices);
  curl_easy_cleanup(curl);
  return 0;
}
