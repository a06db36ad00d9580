#include "RouteTable.h"

#include <cpprest/json.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zelvan::fennic {

namespace {

const std::map<int, Route>& Defaults() {
  static const std::map<int, Route> table = {
      {2, {"POST", "/api/ManageAgent/Register"}},
      {3, {"POST", "/api/ManageAgent/HeartBeat"}},
      {4, {"POST", "/api/ManageAgent/DevicePlugin"}},
      {5, {"POST", "/api/ManageAgent/DeviceUnplug"}},
      {6, {"POST", "/api/ManageAgent/DirectoryResults"}},
      {7, {"POST", "/api/ManageAgent/DeviceUpdateStatus"}},
      {8, {"POST", "/api/ManageAgent/DeviceSync"}},
      {9, {"GET", "/api/ManageAgent/Updates"}},
      {10, {"GET", "/api/ManageAgent/DirectoryQueries"}},
      {11, {"POST", "/api/ManageAgent/DownloadStatus"}},
      {12, {"POST", "/api/ManageAgent/DownloadDetails"}},
      {13, {"GET", "/api/ManageAgent/CancelledUpdates"}},
      {14, {"POST", "/api/ManageAgent/CancelAck"}},
      {15, {"POST", "/api/ManageAgent/Forward"}},
      {17, {"POST", "/api/ManageAgent/ConfigurationRequest"}},
      {19, {"POST", "/api/ManageAgent/SoftphoneList"}},
      {20, {"POST", "/api/ManageAgent/CallDuration"}},
      {21, {"POST", "/api/ManageAgent/UserDetails"}},
      {22, {"POST", "/api/ManageAgent/ConfigurationAck"}},
      {23, {"POST", "/api/ManageAgent/VoicePromptVersion"}},
      {24, {"GET", "/api/ManageAgent/AllUpdates"}},
      {28, {"GET", "/api/ManageAgent/TransportQuery"}},
  };
  return table;
}

bool KnownMethod(const std::string& m) {
  return m == "GET" || m == "POST" || m == "PUT" || m == "DELETE" || m == "PATCH";
}

}  // namespace

RouteTable::RouteTable() : routes_(Defaults()) {}

RouteTable RouteTable::FromFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("route file " + file + ": cannot be read");
  std::stringstream text;
  text << in.rdbuf();
  web::json::value doc;
  try {
    doc = web::json::value::parse(text.str());
  } catch (const web::json::json_exception& e) {
    throw std::runtime_error("route file " + file + ": not JSON: " + e.what());
  }
  if (!doc.is_object() || !doc.has_object_field("routes"))
    throw std::runtime_error("route file " + file + ": no \"routes\" object");
  RouteTable table;
  for (const auto& entry : doc.at("routes").as_object()) {
    int type = 0;
    try {
      size_t used = 0;
      type = std::stoi(entry.first, &used);
      if (used != entry.first.size()) throw std::invalid_argument(entry.first);
    } catch (const std::exception&) {
      throw std::runtime_error("route file " + file + ": \"" + entry.first + "\" is not a request type");
    }
    const auto& v = entry.second;
    if (!v.is_object() || !v.has_string_field("path"))
      throw std::runtime_error("route file " + file + ": entry " + entry.first + " has no \"path\"");
    Route route = table.Find(type).value_or(Route{"POST", ""});
    route.path = v.at("path").as_string();
    if (v.has_string_field("method")) route.method = v.at("method").as_string();
    if (!KnownMethod(route.method))
      throw std::runtime_error("route file " + file + ": entry " + entry.first + " has an unknown method");
    if (route.path.empty() || route.path[0] != '/')
      throw std::runtime_error("route file " + file + ": entry " + entry.first + " path must start with /");
    table.Set(type, route);
  }
  return table;
}

std::optional<Route> RouteTable::Find(int requestType) const {
  auto it = routes_.find(requestType);
  if (it == routes_.end()) return std::nullopt;
  return it->second;
}

std::optional<int> RouteTable::TypeOf(const std::string& method, const std::string& path,
                                      const std::string& tenant) const {
  for (const auto& [type, route] : routes_) {
    if (route.method == method && Expand(route.path, tenant) == path) return type;
  }
  return std::nullopt;
}

void RouteTable::Set(int requestType, Route route) { routes_[requestType] = std::move(route); }

std::string RouteTable::Expand(const std::string& path, const std::string& tenant) {
  std::string out = path;
  const std::string marker = "{tenant}";
  for (size_t at = out.find(marker); at != std::string::npos; at = out.find(marker, at + tenant.size()))
    out.replace(at, marker.size(), tenant);
  if (out.empty() || out[0] != '/') out.insert(out.begin(), '/');
  return out;
}

}  // namespace zelvan::fennic
