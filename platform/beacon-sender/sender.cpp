#include "sender.h"

namespace {

/* Without BlueZ: the request is accepted and only recorded. */
class RecordOnlySender : public Sender {
 public:
  void send(guint8 message_type, const gchar *system_id, SendDone done) override {
    g_debug("Not advertising: beacon %u for %s recorded only", message_type, system_id);
    done(nullptr);
  }
};

}  // namespace

std::unique_ptr<Sender> make_sender(GDBusConnection *, const gchar *, bool) {
  return std::make_unique<RecordOnlySender>();
}
