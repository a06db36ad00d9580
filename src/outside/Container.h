#pragma once

// A small inversion-of-control container: types are registered under an
// interface, optionally as single instances, and built by autowiring every
// std::shared_ptr<X> constructor parameter from the container itself.
//
//   auto builder = std::make_shared<ContainerBuilder>();
//   builder->registerType<Impl>().as<IThing>().singleInstance();
//   builder->registerInstance<IOther>(existing);
//   auto container = builder->build();
//   std::shared_ptr<IThing> thing = container->resolve<IThing>();
//
// resolve() of an interface with no registration returns null; a constructor
// parameter that cannot be resolved throws ResolutionError ("Unable to
// resolve " + type name). Resolution is serialised by one recursive lock, so
// a single instance is created once even under concurrent first resolutions.

#include <cxxabi.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include <fennic/FennicExport.h>

namespace zelvan::fennic::ioc {

class FENNIC_EXPORT ResolutionError : public std::runtime_error {
 public:
  explicit ResolutionError(const std::string& typeName)
      : std::runtime_error("Unable to resolve " + typeName) {}
};

template <class T>
std::string typeName() {
  const char* mangled = typeid(T).name();
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled) ? demangled : mangled;
  std::free(demangled);
  return name;
}

class Container;

namespace detail {

// Stands in for one constructor argument; converts itself into whatever
// std::shared_ptr<U> the constructor asks for by resolving U.
struct Autowire {
  Container* container;
  template <class U>
  operator std::shared_ptr<U>() const;
};

template <class T, std::size_t... I>
constexpr bool constructibleWith(std::index_sequence<I...>) {
  return std::is_constructible_v<T, decltype((void)I, std::declval<Autowire>())...>;
}

template <class T, std::size_t... I>
std::shared_ptr<T> construct(Container& c, std::index_sequence<I...>) {
  // Braced initialisation evaluates the arguments left to right, so the
  // parameters are resolved in their declaration order.
  return std::shared_ptr<T>(new T{((void)I, Autowire{&c})...});
}

constexpr std::size_t kMaxArity = 8;

template <class T, std::size_t N = kMaxArity>
std::shared_ptr<T> autowire(Container& c) {
  if constexpr (constructibleWith<T>(std::make_index_sequence<N>{})) {
    return construct<T>(c, std::make_index_sequence<N>{});
  } else if constexpr (N == 0) {
    static_assert(N != 0, "no constructor taking only std::shared_ptr parameters");
    return nullptr;
  } else {
    return autowire<T, N - 1>(c);
  }
}

struct Registration {
  std::string implementation;
  // Returns a pointer to the interface subobject, type-erased.
  std::function<std::shared_ptr<void>(Container&)> create;
  bool single = false;
  std::shared_ptr<void> instance;
  bool building = false;
};

}  // namespace detail

class Container {
 public:
  explicit Container(std::map<std::string, std::shared_ptr<detail::Registration>> registrations)
      : registrations_(std::move(registrations)) {}

  // Null when the interface has no registration.
  template <class I>
  std::shared_ptr<I> resolve() {
    return std::static_pointer_cast<I>(resolveErased(typeName<I>()));
  }

  template <class I>
  bool isRegistered() const {
    return registrations_.count(typeName<I>()) != 0;
  }

 private:
  std::shared_ptr<void> resolveErased(const std::string& key) {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    auto it = registrations_.find(key);
    if (it == registrations_.end()) return nullptr;
    detail::Registration& reg = *it->second;
    if (reg.single && reg.instance) return reg.instance;
    if (reg.building) throw ResolutionError(key + " (dependency cycle through " + reg.implementation + ")");
    reg.building = true;
    std::shared_ptr<void> made;
    try {
      made = reg.create(*this);
    } catch (...) {
      reg.building = false;
      throw;
    }
    reg.building = false;
    if (reg.single) reg.instance = made;
    return made;
  }

  std::recursive_mutex lock_;
  std::map<std::string, std::shared_ptr<detail::Registration>> registrations_;
};

template <class U>
detail::Autowire::operator std::shared_ptr<U>() const {
  std::shared_ptr<U> resolved = container->resolve<U>();
  if (!resolved) throw ResolutionError(typeName<U>());
  return resolved;
}

class ContainerBuilder;

// Returned by registerType<T>(); as<I>() names the interface, and
// singleInstance() makes every resolution share one object.
template <class T>
class RegistrationBuilder {
 public:
  RegistrationBuilder(ContainerBuilder& owner, std::size_t index) : owner_(owner), index_(index) {}
  template <class I>
  RegistrationBuilder& as();
  RegistrationBuilder& singleInstance();

 private:
  ContainerBuilder& owner_;
  std::size_t index_;
};

class ContainerBuilder {
 public:
  template <class T>
  RegistrationBuilder<T> registerType() {
    pending_.push_back(Pending{typeName<T>(), {}, false});
    return RegistrationBuilder<T>(*this, pending_.size() - 1);
  }

  // An object made elsewhere, served as a single instance of I.
  template <class I>
  void registerInstance(std::shared_ptr<I> instance) {
    auto reg = std::make_shared<detail::Registration>();
    reg->implementation = typeName<I>();
    reg->single = true;
    reg->instance = std::static_pointer_cast<void>(std::shared_ptr<I>(std::move(instance)));
    std::lock_guard<std::mutex> hold(lock_);
    instances_[typeName<I>()] = reg;
  }

  // Later registrations of the same interface replace earlier ones. Each
  // build gets fresh single-instance slots for the types registered here.
  std::shared_ptr<Container> build() {
    std::lock_guard<std::mutex> hold(lock_);
    std::map<std::string, std::shared_ptr<detail::Registration>> regs = instances_;
    for (const Pending& p : pending_) {
      if (p.interfaces.empty()) continue;
      for (const auto& [iface, create] : p.interfaces) {
        auto reg = std::make_shared<detail::Registration>();
        reg->implementation = p.implementation;
        reg->create = create;
        reg->single = p.single;
        regs[iface] = reg;
      }
    }
    return std::make_shared<Container>(std::move(regs));
  }

 private:
  template <class T>
  friend class RegistrationBuilder;

  struct Pending {
    std::string implementation;
    std::vector<std::pair<std::string, std::function<std::shared_ptr<void>(Container&)>>> interfaces;
    bool single;
  };

  std::mutex lock_;
  std::vector<Pending> pending_;
  std::map<std::string, std::shared_ptr<detail::Registration>> instances_;
};

template <class T>
template <class I>
RegistrationBuilder<T>& RegistrationBuilder<T>::as() {
  static_assert(std::is_base_of_v<I, T>, "registered type must derive from the interface");
  owner_.pending_[index_].interfaces.emplace_back(typeName<I>(), [](Container& c) {
    std::shared_ptr<I> made = detail::autowire<T>(c);
    return std::static_pointer_cast<void>(made);
  });
  return *this;
}

template <class T>
RegistrationBuilder<T>& RegistrationBuilder<T>::singleInstance() {
  owner_.pending_[index_].single = true;
  return *this;
}

}  // namespace zelvan::fennic::ioc
