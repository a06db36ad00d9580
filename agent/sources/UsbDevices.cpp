#include "UsbDevices.h"

#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace zelvan::fennic::agent {

namespace {

using web::json::value;

std::string First(udev_device* device, std::initializer_list<const char*> properties, const char* attribute) {
  for (const char* name : properties)
    if (const char* v = ::udev_device_get_property_value(device, name); v && *v) return v;
  if (attribute)
    if (const char* v = ::udev_device_get_sysattr_value(device, attribute); v && *v) return v;
  return "";
}

std::string Hex4(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text.size() < 4 ? std::string(4 - text.size(), '0') + text : text;
}

// bcdDevice "0102" reads as version 1.02.
std::string Firmware(const std::string& bcd) {
  if (bcd.size() != 4) return bcd;
  const std::string major = bcd.substr(0, 2)[0] == '0' ? bcd.substr(1, 1) : bcd.substr(0, 2);
  return major + "." + bcd.substr(2);
}

value Describe(udev_device* device) {
  std::string vendor = First(device, {"ID_VENDOR_ID"}, "idVendor");
  std::string product = First(device, {"ID_MODEL_ID"}, "idProduct");
  std::string bcd = First(device, {}, "bcdDevice");
  // A removed device has no attributes left; its uevent still carries
  // PRODUCT=vendor/product/bcdDevice in unpadded hex.
  if (const char* p = ::udev_device_get_property_value(device, "PRODUCT"); p && (vendor.empty() || product.empty())) {
    const std::string text = p;
    const auto a = text.find('/'), b = text.find('/', a + 1);
    if (a != std::string::npos && b != std::string::npos) {
      vendor = text.substr(0, a);
      product = text.substr(a + 1, b - a - 1);
      if (bcd.empty()) bcd = Hex4(text.substr(b + 1));
    }
  }
  value d = value::object();
  d["VendorID"] = value::string(vendor.empty() ? "" : Hex4(vendor));
  d["ProductID"] = value::string(product.empty() ? "" : Hex4(product));
  d["VendorName"] = value::string(First(device, {"ID_VENDOR_FROM_DATABASE", "ID_VENDOR"}, "manufacturer"));
  d["ProductName"] = value::string(First(device, {"ID_MODEL_FROM_DATABASE", "ID_MODEL"}, "product"));
  d["SerialNumber"] = value::string(First(device, {"ID_SERIAL_SHORT"}, "serial"));
  d["FirmwareVersion"] = value::string(bcd.empty() ? First(device, {"ID_REVISION"}, nullptr) : Firmware(Hex4(bcd)));
  d["BusPath"] = value::string(::udev_device_get_sysname(device) ? ::udev_device_get_sysname(device) : "");
  return d;
}

bool IsUsbDevice(udev_device* device) {
  const char* type = ::udev_device_get_devtype(device);
  return type && std::strcmp(type, "usb_device") == 0;
}

// A device reported again is news only when its description gained or
// changed something, as when the inventory caught it half set up. One that
// lost fields is on its way out: its attributes go before its "remove" comes.
bool Newer(const value& known, const value& now) {
  if (known == now) return false;
  for (const auto& [name, field] : known.as_object())
    if (!field.as_string().empty() && (!now.has_field(name) || now.at(name).as_string().empty())) return false;
  return true;
}

}  // namespace

UsbDevices::UsbDevices(EventLoop& loop, std::vector<std::string> vendorIds, Send send)
    : loop_(loop), vendorIds_(std::move(vendorIds)), send_(std::move(send)) {
  udev_ = ::udev_new();
  if (!udev_) throw std::runtime_error("udev cannot be opened");
}

UsbDevices::~UsbDevices() {
  if (fd_ >= 0) loop_.Unwatch(fd_);
  if (monitor_) ::udev_monitor_unref(monitor_);
  ::udev_unref(udev_);
}

bool UsbDevices::Wanted(const value& device) const {
  return std::find(vendorIds_.begin(), vendorIds_.end(), device.at("VendorID").as_string()) != vendorIds_.end();
}

void UsbDevices::Start() {
  // The monitor listens before the inventory is taken, so a device plugged
  // in between is reported rather than lost.
  monitor_ = ::udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ && ::udev_monitor_filter_add_match_subsystem_devtype(monitor_, "usb", "usb_device") >= 0 &&
      ::udev_monitor_enable_receiving(monitor_) >= 0) {
    fd_ = ::udev_monitor_get_fd(monitor_);
    loop_.Watch(fd_, [this] { OnMonitor(); });
  }

  udev_enumerate* enumerate = ::udev_enumerate_new(udev_);
  ::udev_enumerate_add_match_subsystem(enumerate, "usb");
  ::udev_enumerate_scan_devices(enumerate);
  value devices = value::array();
  size_t n = 0;
  for (udev_list_entry* e = ::udev_enumerate_get_list_entry(enumerate); e; e = ::udev_list_entry_get_next(e)) {
    udev_device* device = ::udev_device_new_from_syspath(udev_, ::udev_list_entry_get_name(e));
    if (!device) continue;
    if (IsUsbDevice(device)) {
      value d = Describe(device);
      if (Wanted(d)) {
        present_[d.at("BusPath").as_string()] = d;
        devices[n++] = d;
      }
    }
    ::udev_device_unref(device);
  }
  ::udev_enumerate_unref(enumerate);
  value inventory = value::object();
  inventory["Devices"] = devices;
  send_(4, inventory.serialize());
}

void UsbDevices::OnMonitor() {
  udev_device* device = ::udev_monitor_receive_device(monitor_);
  if (!device) return;
  const char* action = ::udev_device_get_action(device);
  const std::string what = action ? action : "";
  if (IsUsbDevice(device) && (what == "add" || what == "remove")) {
    const value d = Describe(device);
    const std::string path = d.at("BusPath").as_string();
    const auto known = present_.find(path);
    // Only a change is news: a device already reported (plugged in while the
    // inventory was taken) is not plugged again, and only reported devices
    // are unplugged, with the body they were reported with.
    if (what == "add" && Wanted(d) && (known == present_.end() || Newer(known->second, d))) {
      present_[path] = d;
      send_(2, d.serialize());
    } else if (what == "remove" && known != present_.end()) {
      const value gone = known->second;
      present_.erase(known);
      send_(3, gone.serialize());
    }
  }
  ::udev_device_unref(device);
}

}  // namespace zelvan::fennic::agent
