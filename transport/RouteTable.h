#pragma once

#include <map>
#include <optional>
#include <string>

namespace zelvan::fennic {

// One server request: the HTTP method and the path below the tenant's base
// address. A path may contain "{tenant}", replaced by the tenant id.
struct Route {
  std::string method;
  std::string path;
};

// Maps request-type numbers to server requests. The defaults cover every
// type the library sends; a JSON file of the form
//   {"routes": {"3": {"method": "POST", "path": "/api/hb"}, ...}}
// overrides single entries. Immutable after construction, so it is shared
// freely between threads.
class RouteTable {
 public:
  RouteTable();
  // Throws std::runtime_error naming the file and the problem when the file
  // cannot be read or holds an unusable entry.
  static RouteTable FromFile(const std::string& file);

  std::optional<Route> Find(int requestType) const;
  // The reverse lookup the server needs: which request type a method and a
  // path (with the tenant already substituted) stand for.
  std::optional<int> TypeOf(const std::string& method, const std::string& path,
                            const std::string& tenant) const;
  void Set(int requestType, Route route);
  const std::map<int, Route>& Entries() const { return routes_; }

  // "{tenant}" replaced; the result always starts with "/".
  static std::string Expand(const std::string& path, const std::string& tenant);

 private:
  std::map<int, Route> routes_;
};

}  // namespace zelvan::fennic
