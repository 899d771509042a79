/* The control service "com.vemo.bt.ReceiveVemoBeacon" (List, Pause,
 * Resume, and Status in an interface of its own), up while BlueZ is
 * present. Main thread only. */
#pragma once

#include <gio/gio.h>

#include "com.vemo.bt.ReceiveVemoBeacon_gen.h"
#include "main.h"

G_BEGIN_DECLS

#define BTRECEIVE_DBUS_ERROR (btreceive_dbus_error_quark())
GQuark btreceive_dbus_error_quark(void);

/* D-Bus error domain of the control interface. */
#define BT_RECEIVE_DBUS_ERROR (bt_receive_dbus_error_quark())
GQuark bt_receive_dbus_error_quark(void);
typedef enum {
  BT_RECEIVE_DBUS_ERROR_INTERNAL = 0,
  BT_RECEIVE_DBUS_ERROR_UNAUTHORIZED = 1,
} BtReceiveDbusError;

#define BTRECEIVE_BUS_NAME "com.vemo.bt.ReceiveVemoBeacon"
#define BTRECEIVE_OBJECT_PATH "/com/vemo/bt/ReceiveVemoBeacon"
#define BTRECEIVE_ACTION_LIST "com.vemo.bt.receivevemobeacon.list"
#define BTRECEIVE_ACTION_PAUSE "com.vemo.bt.receivevemobeacon.pause"
#define BTRECEIVE_ACTION_RESUME "com.vemo.bt.receivevemobeacon.resume"

typedef struct {
  guint32 owner_id;
  btReceiveVemoBeaconSkeleton *skeleton;
  btReceiveVemoBeaconDiagnosticsSkeleton *diagnostics; /* Status, beside the control interface */
} BtreceiveDbus;

extern BtreceiveDbus *btreceive_dbus_g;

gboolean btreceive_dbus_init(AppCtx *ctx, GError **err);
/* Safe when the interface is down. */
void btreceive_dbus_teardown(void);

/* Internal, exposed for tests. */
gboolean access_is_authorized(GDBusMethodInvocation *invocation, const gchar *action_id);

G_END_DECLS
