/* The objects a service exports below an ObjectManager at "/": interfaces
 * with stored properties and method handlers. The tree outlives the bus
 * connection it is exported on, so the service can leave the bus and
 * return with the same objects (a daemon restart), and it emits
 * InterfacesAdded/InterfacesRemoved/PropertiesChanged while attached. */
#pragma once

#include <gio/gio.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bzsim {

/* Owning reference to a GVariant. */
class Variant {
 public:
  Variant() = default;
  /* Takes @value: sinks a floating reference, adopts a full one. */
  explicit Variant(GVariant *value) : value_(value != nullptr ? g_variant_take_ref(value) : nullptr) {}
  Variant(const Variant &o) : value_(o.value_ != nullptr ? g_variant_ref(o.value_) : nullptr) {}
  Variant(Variant &&o) noexcept : value_(std::exchange(o.value_, nullptr)) {}
  Variant &operator=(Variant o) noexcept {
    std::swap(value_, o.value_);
    return *this;
  }
  ~Variant() {
    if (value_ != nullptr)
      g_variant_unref(value_);
  }
  GVariant *get() const { return value_; }

 private:
  GVariant *value_ = nullptr;
};

using Properties = std::vector<std::pair<std::string, Variant>>;

/* Handles a method call of one interface of one object. Must answer
 * @invocation (now or later). */
using MethodHandler = std::function<void(GDBusMethodInvocation *invocation, const char *method, GVariant *params)>;

struct InterfaceInit {
  std::string name;
  Properties properties;
  MethodHandler handler;  /* may be empty for interfaces without methods */
};

class ObjectTree {
 public:
  /* @introspection_xml describes every interface the tree may carry. */
  explicit ObjectTree(const char *introspection_xml);
  ~ObjectTree();
  ObjectTree(const ObjectTree &) = delete;
  ObjectTree &operator=(const ObjectTree &) = delete;

  /* Exports the ObjectManager and, unless @hidden, every object on
   * @connection. Hidden objects are not exported, not listed by
   * GetManagedObjects and change without signals until publish(). */
  bool attach(GDBusConnection *connection, GError **error, bool hidden = false);
  /* Exports the hidden objects, with one InterfacesAdded each in creation
   * order (a daemon announcing what it has found after owning its name). */
  bool publish(GError **error);
  bool published() const { return connection_ != nullptr && published_; }
  /* Unexports everything; the objects stay and signals stop. */
  void detach();
  GDBusConnection *connection() const { return connection_; }

  bool has_object(const std::string &path) const;
  bool has_interface(const std::string &path, const std::string &interface) const;
  /* Adds interfaces to an object (created if new); one InterfacesAdded. */
  bool add_interfaces(const std::string &path, std::vector<InterfaceInit> interfaces, GError **error);
  /* Removes interfaces (all when @interfaces is empty); one InterfacesRemoved.
   * An object left without interfaces disappears. */
  void remove_interfaces(const std::string &path, const std::vector<std::string> &interfaces = {});
  /* Stores values and emits one PropertiesChanged with those that differ. */
  void set_properties(const std::string &path, const std::string &interface, const Properties &values);
  /* A stored property or nullptr (not a new reference). */
  GVariant *property(const std::string &path, const std::string &interface, const std::string &name) const;

 private:
  struct Interface {
    std::string name;
    Properties properties;
    MethodHandler handler;
    guint registration = 0;
  };
  struct Object {
    std::string path;
    std::vector<Interface> interfaces;
  };

  Object *find(const std::string &path);
  const Object *find(const std::string &path) const;
  Interface *find_interface(const std::string &path, const std::string &interface);
  bool export_interface(const std::string &path, Interface &iface, GError **error);
  GVariant *interfaces_variant(const Object &object) const;
  GVariant *managed_objects() const;

  static void method_call(GDBusConnection *, const char *sender, const char *path, const char *interface,
                          const char *method, GVariant *params, GDBusMethodInvocation *invocation,
                          gpointer data);
  static GVariant *get_property(GDBusConnection *, const char *sender, const char *path,
                                const char *interface, const char *name, GError **error, gpointer data);
  static gboolean set_property(GDBusConnection *, const char *sender, const char *path,
                               const char *interface, const char *name, GVariant *value, GError **error,
                               gpointer data);

  GDBusNodeInfo *info_ = nullptr;
  GDBusNodeInfo *manager_info_ = nullptr;
  GDBusConnection *connection_ = nullptr;
  guint manager_registration_ = 0;
  bool published_ = false;
  /* In creation order, which GetManagedObjects keeps. */
  std::vector<std::unique_ptr<Object>> objects_;
};

}  // namespace bzsim
