// fennic-devicebed: runs a program (the agent) against a umockdev testbed
// and plugs a synthetic USB device in and out while it runs, stepping on
// what the management server's record shows: the inventory first, then the
// plug, then the unplug. Every wait is bounded.
#include <signal.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* kUsage =
    "usage: fennic-devicebed --record FILE --device VENDOR:PRODUCT:SERIAL [--limit SECONDS] -- PROGRAM ARGS...\n"
    "Runs PROGRAM with a umockdev testbed in place of /sys and /dev. Once the server's record FILE\n"
    "shows a device inventory (request 8), plugs in a USB device (four-digit hex ids), waits for the\n"
    "plug request (4), unplugs it, waits for the unplug request (5) and stops PROGRAM with SIGTERM.\n"
    "Exit 0 when every step was seen and PROGRAM exited 0; 1 otherwise, naming the step.\n";

using Clock = std::chrono::steady_clock;

int CountOf(const std::string& file, const std::string& type) {
  std::ifstream in(file);
  std::string line;
  int n = 0;
  while (std::getline(in, line))
    if (line.find("\"type\":\"" + type + "\"") != std::string::npos) ++n;
  return n;
}

// Waits for a request of `type` beyond those already in the record when
// the program started (an earlier run's count as none).
bool Await(const std::string& file, const std::string& type, Clock::time_point deadline, pid_t child) {
  static std::map<std::string, int> before;
  if (!before.count(type)) before[type] = CountOf(file, type);
  while (Clock::now() < deadline) {
    if (CountOf(file, type) > before[type]) return true;
    if (child > 0 && ::waitpid(child, nullptr, WNOHANG) == child) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int Stop(pid_t child) {
  ::kill(child, SIGTERM);
  int status = 0;
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, &status, 0);
  std::cerr << "fennic-devicebed: the program did not stop within 10 s of SIGTERM\n";
  return 1;
}

// Whether this process runs under the umockdev preload library.
bool UnderPreload() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::string(preload).find("libumockdev-preload") != std::string::npos;
}

// Runs this program again under the preload library; returns only on failure.
int RunUnderPreload(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  ::setenv("LD_PRELOAD", (std::string("libumockdev-preload.so.0") + (preload ? ":" + std::string(preload) : "")).c_str(),
           1);
  // A sanitizer's runtime, if any, now comes second; it must not mind.
  const char* asan = std::getenv("ASAN_OPTIONS");
  ::setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
  ::execv("/proc/self/exe", argv);
  std::cerr << "fennic-devicebed: cannot run under the umockdev preload library\n";
  return 1;
}

// Waits for the inventory, plugs the device in, waits for its report,
// unplugs it and waits for that; 0 when all three arrived in time.
int PlugAndUnplug(UMockdevTestbed* bed, const std::string& record, const std::string& vendor,
                  const std::string& product, const std::string& serial, Clock::time_point deadline, pid_t child,
                  gchar** path) {
  if (!Await(record, "8", deadline, child)) {
    std::cerr << "fennic-devicebed: no device inventory in the record\n";
    return 1;
  }
  std::cout << "devicebed: inventory taken; plugging in " << vendor << ":" << product << " serial " << serial
            << std::endl;
  char productProperty[64];
  std::snprintf(productProperty, sizeof productProperty, "%lx/%lx/100", std::strtol(vendor.c_str(), nullptr, 16),
                std::strtol(product.c_str(), nullptr, 16));
  *path = umockdev_testbed_add_device(bed, "usb", "1-4", nullptr, "idVendor", vendor.c_str(), "idProduct",
                                      product.c_str(), "bcdDevice", "0100", "serial", serial.c_str(), "manufacturer",
                                      "Fennic Test", "product", "Desk Headset", nullptr, "DEVTYPE", "usb_device",
                                      "PRODUCT", productProperty, nullptr);
  if (!Await(record, "4", deadline, child)) {
    std::cerr << "fennic-devicebed: no plug request in the record\n";
    return 1;
  }
  std::cout << "devicebed: plug reported; unplugging" << std::endl;
  umockdev_testbed_uevent(bed, *path, "remove");
  umockdev_testbed_remove_device(bed, *path);
  if (!Await(record, "5", deadline, child)) {
    std::cerr << "fennic-devicebed: no unplug request in the record\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string record, device;
  int limit = 30;
  int at = 1;
  for (; at < argc; ++at) {
    const std::string arg = argv[at];
    if (arg == "--") break;
    if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (at + 1 >= argc) break;
    if (arg == "--record") record = argv[++at];
    else if (arg == "--device") device = argv[++at];
    else if (arg == "--limit") limit = std::atoi(argv[++at]);
  }
  const auto first = device.find(':'), second = device.find(':', first + 1);
  if (record.empty() || second == std::string::npos || at + 1 >= argc || limit <= 0) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string vendor = device.substr(0, first), product = device.substr(first + 1, second - first - 1),
                    serial = device.substr(second + 1);

  // The testbed resolves its device paths through the preload library, in
  // this process as in the program: run ourselves under it first.
  if (!UnderPreload()) return RunUnderPreload(argv);
  UMockdevTestbed* bed = umockdev_testbed_new();  // sets UMOCKDEV_DIR for the program too
  for (const char* type : {"8", "4", "5"}) Await(record, type, Clock::now(), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::execv(argv[at + 1], argv + at + 1);
    ::_exit(127);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(limit);
  gchar* path = nullptr;
  const int result = PlugAndUnplug(bed, record, vendor, product, serial, deadline, child, &path);
  const int exit = Stop(child);
  if (result == 0 && exit != 0) std::cerr << "fennic-devicebed: the program exited with " << exit << "\n";
  g_free(path);
  g_object_unref(bed);
  return result == 0 && exit == 0 ? 0 : 1;
}
