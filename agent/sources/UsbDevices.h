#pragma once

#include <cpprest/json.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "EventLoop.h"

struct udev;
struct udev_device;
struct udev_monitor;

namespace zelvan::fennic::agent {

// Watches USB devices of the configured vendors through libudev: the
// inventory at start (client code 4, {"Devices": [device, ...]}) and every
// hot-plug (code 2 plugged, code 3 unplugged, the device object alone).
// A device object has "VendorID", "ProductID" (four lower-case hex digits),
// "VendorName", "ProductName", "SerialNumber", "FirmwareVersion" (bcdDevice
// as "major.minor") and "BusPath" (the kernel's name, "1-1.2"); members
// unknown to udev are empty strings.
class UsbDevices {
 public:
  using Send = std::function<void(int code, const std::string& body)>;
  // Throws std::runtime_error when udev cannot be opened.
  UsbDevices(EventLoop& loop, std::vector<std::string> vendorIds, Send send);
  ~UsbDevices();
  UsbDevices(const UsbDevices&) = delete;
  UsbDevices& operator=(const UsbDevices&) = delete;

  // Sends the inventory and starts watching.
  void Start();
  // The devices reported so far, by bus path.
  const std::map<std::string, web::json::value>& Present() const { return present_; }

 private:
  void OnMonitor();
  bool Wanted(const web::json::value& device) const;

  EventLoop& loop_;
  const std::vector<std::string> vendorIds_;
  Send send_;
  struct udev* udev_ = nullptr;
  struct udev_monitor* monitor_ = nullptr;
  int fd_ = -1;
  std::map<std::string, web::json::value> present_;
};

}  // namespace zelvan::fennic::agent
