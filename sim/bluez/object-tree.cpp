#include "object-tree.h"

#include <algorithm>
#include <exception>

namespace bzsim {

namespace {

const char manager_xml[] =
    "<node>"
    "  <interface name='org.freedesktop.DBus.ObjectManager'>"
    "    <method name='GetManagedObjects'>"
    "      <arg name='objects' type='a{oa{sa{sv}}}' direction='out'/>"
    "    </method>"
    "    <signal name='InterfacesAdded'>"
    "      <arg name='object' type='o'/>"
    "      <arg name='interfaces' type='a{sa{sv}}'/>"
    "    </signal>"
    "    <signal name='InterfacesRemoved'>"
    "      <arg name='object' type='o'/>"
    "      <arg name='interfaces' type='as'/>"
    "    </signal>"
    "  </interface>"
    "</node>";

constexpr char kObjectManager[] = "org.freedesktop.DBus.ObjectManager";

GVariant *properties_variant(const Properties &properties) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  for (const auto &p : properties)
    g_variant_builder_add(&builder, "{sv}", p.first.c_str(), p.second.get());
  return g_variant_builder_end(&builder);
}

}  // namespace

ObjectTree::ObjectTree(const char *introspection_xml) {
  g_autoptr(GError) error = nullptr;
  info_ = g_dbus_node_info_new_for_xml(introspection_xml, &error);
  if (info_ == nullptr)
    g_error("introspection data of the object tree is invalid: %s", error->message);
  manager_info_ = g_dbus_node_info_new_for_xml(manager_xml, &error);
  if (manager_info_ == nullptr)
    g_error("introspection data of the object manager is invalid: %s", error->message);
}

ObjectTree::~ObjectTree() {
  detach();
  g_dbus_node_info_unref(info_);
  g_dbus_node_info_unref(manager_info_);
}

bool ObjectTree::attach(GDBusConnection *connection, GError **error, bool hidden) {
  g_return_val_if_fail(G_IS_DBUS_CONNECTION(connection), false);
  g_return_val_if_fail(connection_ == nullptr, false);
  static const GDBusInterfaceVTable manager_vtable = {&ObjectTree::method_call, nullptr, nullptr, {nullptr}};
  connection_ = G_DBUS_CONNECTION(g_object_ref(connection));
  manager_registration_ = g_dbus_connection_register_object(
      connection_, "/", manager_info_->interfaces[0], &manager_vtable, this, nullptr, error);
  if (manager_registration_ == 0) {
    detach();
    return false;
  }
  if (hidden)
    return true;
  published_ = true;
  for (auto &object : objects_)
    for (auto &iface : object->interfaces)
      if (!export_interface(object->path, iface, error)) {
        detach();
        return false;
      }
  return true;
}

bool ObjectTree::publish(GError **error) {
  g_return_val_if_fail(connection_ != nullptr, false);
  if (published_)
    return true;
  published_ = true;
  for (auto &object : objects_) {
    for (auto &iface : object->interfaces)
      if (!export_interface(object->path, iface, error)) {
        detach();
        return false;
      }
    g_dbus_connection_emit_signal(connection_, nullptr, "/", kObjectManager, "InterfacesAdded",
                                  g_variant_new("(o@a{sa{sv}})", object->path.c_str(), interfaces_variant(*object)),
                                  nullptr);
  }
  return true;
}

void ObjectTree::detach() {
  if (connection_ == nullptr)
    return;
  for (auto &object : objects_)
    for (auto &iface : object->interfaces)
      if (iface.registration != 0) {
        g_dbus_connection_unregister_object(connection_, iface.registration);
        iface.registration = 0;
      }
  if (manager_registration_ != 0)
    g_dbus_connection_unregister_object(connection_, manager_registration_);
  manager_registration_ = 0;
  published_ = false;
  g_clear_object(&connection_);
}

bool ObjectTree::export_interface(const std::string &path, Interface &iface, GError **error) {
  static const GDBusInterfaceVTable table = {&ObjectTree::method_call, &ObjectTree::get_property,
                                             &ObjectTree::set_property, {nullptr}};
  GDBusInterfaceInfo *info = g_dbus_node_info_lookup_interface(info_, iface.name.c_str());
  if (info == nullptr) {
    g_set_error(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "interface %s is not described", iface.name.c_str());
    return false;
  }
  iface.registration = g_dbus_connection_register_object(connection_, path.c_str(), info, &table, this,
                                                         nullptr, error);
  return iface.registration != 0;
}

ObjectTree::Object *ObjectTree::find(const std::string &path) {
  for (auto &o : objects_)
    if (o->path == path)
      return o.get();
  return nullptr;
}

const ObjectTree::Object *ObjectTree::find(const std::string &path) const {
  for (const auto &o : objects_)
    if (o->path == path)
      return o.get();
  return nullptr;
}

ObjectTree::Interface *ObjectTree::find_interface(const std::string &path, const std::string &interface) {
  Object *object = find(path);
  if (object == nullptr)
    return nullptr;
  for (auto &i : object->interfaces)
    if (i.name == interface)
      return &i;
  return nullptr;
}

bool ObjectTree::has_object(const std::string &path) const { return find(path) != nullptr; }

bool ObjectTree::has_interface(const std::string &path, const std::string &interface) const {
  return const_cast<ObjectTree *>(this)->find_interface(path, interface) != nullptr;
}

bool ObjectTree::add_interfaces(const std::string &path, std::vector<InterfaceInit> interfaces, GError **error) {
  g_return_val_if_fail(g_variant_is_object_path(path.c_str()), false);
  Object *object = find(path);
  if (object == nullptr) {
    objects_.push_back(std::make_unique<Object>());
    object = objects_.back().get();
    object->path = path;
  }
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sa{sv}}"));
  bool ok = true;
  for (auto &init : interfaces) {
    if (find_interface(path, init.name) != nullptr) {
      g_set_error(error, G_IO_ERROR, G_IO_ERROR_EXISTS, "%s already has interface %s", path.c_str(),
                  init.name.c_str());
      ok = false;
      break;
    }
    object->interfaces.push_back(Interface{init.name, std::move(init.properties), std::move(init.handler), 0});
    Interface &iface = object->interfaces.back();
    if (published() && !export_interface(path, iface, error)) {
      object->interfaces.pop_back();
      ok = false;
      break;
    }
    g_variant_builder_add(&builder, "{s@a{sv}}", iface.name.c_str(), properties_variant(iface.properties));
  }
  g_autoptr(GVariant) added = g_variant_ref_sink(g_variant_builder_end(&builder));
  if (published() && g_variant_n_children(added) > 0)
    g_dbus_connection_emit_signal(connection_, nullptr, "/", kObjectManager, "InterfacesAdded",
                                  g_variant_new("(o@a{sa{sv}})", path.c_str(), added), nullptr);
  if (object->interfaces.empty())
    objects_.erase(std::find_if(objects_.begin(), objects_.end(),
                                [&](const std::unique_ptr<Object> &o) { return o.get() == object; }));
  return ok;
}

void ObjectTree::remove_interfaces(const std::string &path, const std::vector<std::string> &interfaces) {
  auto it = std::find_if(objects_.begin(), objects_.end(),
                         [&](const std::unique_ptr<Object> &o) { return o->path == path; });
  if (it == objects_.end())
    return;
  Object &object = **it;
  GVariantBuilder removed;
  g_variant_builder_init(&removed, G_VARIANT_TYPE_STRING_ARRAY);
  bool any = false;
  for (auto i = object.interfaces.begin(); i != object.interfaces.end();) {
    if (!interfaces.empty() && std::find(interfaces.begin(), interfaces.end(), i->name) == interfaces.end()) {
      ++i;
      continue;
    }
    if (i->registration != 0)
      g_dbus_connection_unregister_object(connection_, i->registration);
    g_variant_builder_add(&removed, "s", i->name.c_str());
    any = true;
    i = object.interfaces.erase(i);
  }
  GVariant *names = g_variant_builder_end(&removed);
  if (published() && any)
    g_dbus_connection_emit_signal(connection_, nullptr, "/", kObjectManager, "InterfacesRemoved",
                                  g_variant_new("(o@as)", path.c_str(), names), nullptr);
  else
    g_variant_unref(g_variant_ref_sink(names));
  if (object.interfaces.empty())
    objects_.erase(it);
}

void ObjectTree::set_properties(const std::string &path, const std::string &interface, const Properties &values) {
  Interface *iface = find_interface(path, interface);
  g_return_if_fail(iface != nullptr);
  Properties changed;
  for (const auto &value : values) {
    auto it = std::find_if(iface->properties.begin(), iface->properties.end(),
                           [&](const std::pair<std::string, Variant> &p) { return p.first == value.first; });
    if (it == iface->properties.end()) {
      iface->properties.push_back(value);
    } else if (g_variant_equal(it->second.get(), value.second.get())) {
      continue;
    } else {
      it->second = value.second;
    }
    changed.push_back(value);
  }
  if (!published() || changed.empty())
    return;
  g_dbus_connection_emit_signal(connection_, nullptr, path.c_str(), "org.freedesktop.DBus.Properties",
                                "PropertiesChanged",
                                g_variant_new("(s@a{sv}as)", interface.c_str(), properties_variant(changed), nullptr),
                                nullptr);
}

GVariant *ObjectTree::property(const std::string &path, const std::string &interface, const std::string &name) const {
  const Interface *iface = const_cast<ObjectTree *>(this)->find_interface(path, interface);
  if (iface == nullptr)
    return nullptr;
  for (const auto &p : iface->properties)
    if (p.first == name)
      return p.second.get();
  return nullptr;
}

GVariant *ObjectTree::interfaces_variant(const Object &object) const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sa{sv}}"));
  for (const auto &iface : object.interfaces)
    g_variant_builder_add(&builder, "{s@a{sv}}", iface.name.c_str(), properties_variant(iface.properties));
  return g_variant_builder_end(&builder);
}

GVariant *ObjectTree::managed_objects() const {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{oa{sa{sv}}}"));
  for (const auto &object : objects_)
    if (published_)
      g_variant_builder_add(&builder, "{o@a{sa{sv}}}", object->path.c_str(), interfaces_variant(*object));
  return g_variant_builder_end(&builder);
}

void ObjectTree::method_call(GDBusConnection *, const char *, const char *path, const char *interface,
                             const char *method, GVariant *params, GDBusMethodInvocation *invocation,
                             gpointer data) {
  auto *self = static_cast<ObjectTree *>(data);
  try {
    if (g_str_equal(interface, kObjectManager)) {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(@a{oa{sa{sv}}})", self->managed_objects()));
      return;
    }
    Interface *iface = self->find_interface(path, interface);
    if (iface == nullptr || !iface->handler) {
      g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                            "%s has no method %s.%s", path, interface, method);
      return;
    }
    /* Copy: the handler may remove the interface that holds it. */
    MethodHandler handler = iface->handler;
    handler(invocation, method, params);
  } catch (const std::exception &e) {
    g_warning("%s.%s on %s failed: %s", interface, method, path, e.what());
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "%s failed: %s",
                                          method, e.what());
  }
}

GVariant *ObjectTree::get_property(GDBusConnection *, const char *, const char *path, const char *interface,
                                   const char *name, GError **error, gpointer data) {
  auto *self = static_cast<ObjectTree *>(data);
  GVariant *value = self->property(path, interface, name);
  if (value == nullptr) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS, "%s has no property %s.%s", path, interface, name);
    return nullptr;
  }
  return g_variant_ref(value);
}

gboolean ObjectTree::set_property(GDBusConnection *, const char *, const char *path, const char *interface,
                                  const char *name, GVariant *value, GError **error, gpointer data) {
  auto *self = static_cast<ObjectTree *>(data);
  /* GDBus has checked that the property is writable and of its type. */
  if (!self->has_interface(path, interface)) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_OBJECT, "%s has no interface %s", path, interface);
    return FALSE;
  }
  try {
    self->set_properties(path, interface, {{name, Variant(g_variant_ref(value))}});
  } catch (const std::exception &e) {
    g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_FAILED, "setting %s failed: %s", name, e.what());
    return FALSE;
  }
  return TRUE;
}

}  // namespace bzsim
