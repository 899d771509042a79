/* Small GDBus helpers shared by the simulator: fire-and-forget calls to
 * clients, asynchronous calls with C++ completions, and the count of
 * callbacks still owed to us so that shutdown can wait for them. */
#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>

namespace bzsim {

/* Asynchronous work whose callback still has to run. Shutdown iterates the
 * main context until nothing is outstanding, so no callback outlives the
 * objects it refers to and no closure leaks. */
class Pending {
 public:
  static void hold() { count_++; }
  static void release() { count_--; }
  static int count() { return count_; }
  /* Iterates @context until every hold was released or @timeout_ms passed. */
  static bool drain(GMainContext *context, int timeout_ms);

 private:
  static int count_;
};

/* Calls @method on a client without expecting an answer (BlueZ's calls to
 * monitors and advertisements): nothing is queued for a reply that a
 * client might never send. Consumes a floating @params. */
void call_no_reply(GDBusConnection *connection, const char *destination, const char *path,
                   const char *interface, const char *method, GVariant *params);

using CallDone = std::function<void(GVariant *reply, const GError *error)>;

/* g_dbus_connection_call with a C++ completion; @done runs exactly once on
 * the calling thread's default context (with G_IO_ERROR_CANCELLED when
 * @cancellable fired). Consumes a floating @params. */
void call_async(GDBusConnection *connection, const char *destination, const char *path,
                const char *interface, const char *method, GVariant *params,
                const GVariantType *reply_type, int timeout_ms, GCancellable *cancellable,
                CallDone done);

/* Returns @error on @invocation as a D-Bus error named @name. */
void return_error(GDBusMethodInvocation *invocation, const char *name, const std::string &message);

/* Bluetooth address text (six hex pairs, colon separated) to upper case;
 * FALSE when @text is not one. */
bool normalize_address(const char *text, std::string *out);

/* True when @path lies at or below @root. */
bool path_is_below(const std::string &path, const std::string &root);

}  // namespace bzsim
