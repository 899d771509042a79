#include "dbus-util.h"

#include <cstring>
#include <exception>
#include <memory>

namespace bzsim {

int Pending::count_ = 0;

bool Pending::drain(GMainContext *context, int timeout_ms) {
  const gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
  while (count_ > 0 && g_get_monotonic_time() < deadline) {
    if (!g_main_context_iteration(context, FALSE))
      g_usleep(1000);
  }
  return count_ == 0;
}

void call_no_reply(GDBusConnection *connection, const char *destination, const char *path,
                   const char *interface, const char *method, GVariant *params) {
  g_autoptr(GVariant) sunk = params != nullptr ? g_variant_ref_sink(params) : nullptr;
  g_return_if_fail(G_IS_DBUS_CONNECTION(connection));
  g_autoptr(GDBusMessage) message = g_dbus_message_new_method_call(destination, path, interface, method);
  if (sunk != nullptr)
    g_dbus_message_set_body(message, sunk);
  /* Only NO_REPLY_EXPECTED, as bluetoothd's calls carry: strict clients
   * refuse flag combinations they do not know. */
  g_dbus_message_set_flags(message, G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
  g_autoptr(GError) error = nullptr;
  if (!g_dbus_connection_send_message(connection, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, &error))
    g_warning("cannot call %s.%s on %s %s: %s", interface, method, destination, path, error->message);
}

namespace {

void call_finished(GObject *source, GAsyncResult *result, gpointer data) {
  std::unique_ptr<CallDone> done(static_cast<CallDone *>(data));
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  try {
    (*done)(reply, error);
  } catch (const std::exception &e) {
    g_warning("completion of a D-Bus call failed: %s", e.what());
  }
  Pending::release();
}

}  // namespace

void call_async(GDBusConnection *connection, const char *destination, const char *path,
                const char *interface, const char *method, GVariant *params,
                const GVariantType *reply_type, int timeout_ms, GCancellable *cancellable,
                CallDone done) {
  auto *closure = new CallDone(std::move(done));
  Pending::hold();
  g_dbus_connection_call(connection, destination, path, interface, method, params, reply_type,
                         G_DBUS_CALL_FLAGS_NONE, timeout_ms, cancellable, call_finished, closure);
}

void return_error(GDBusMethodInvocation *invocation, const char *name, const std::string &message) {
  g_dbus_method_invocation_return_dbus_error(invocation, name, message.c_str());
}

bool normalize_address(const char *text, std::string *out) {
  if (text == nullptr || strlen(text) != 17)
    return false;
  std::string result;
  for (size_t i = 0; i < 17; i++) {
    const char c = text[i];
    if (i % 3 == 2) {
      if (c != ':')
        return false;
    } else if (!g_ascii_isxdigit(c)) {
      return false;
    }
    result += g_ascii_toupper(c);
  }
  *out = result;
  return true;
}

bool path_is_below(const std::string &path, const std::string &root) {
  if (root == "/")
    return true;
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

}  // namespace bzsim
