/* bluez-sim: a stand-in for bluetoothd and the radios of its adapters on
 * the system bus, with test controls of its own (see sim/README.md). */
#include <glib-unix.h>
#include <gio/gio.h>

#include <csignal>
#include <exception>

#include "config.h"
#include "sim.h"

namespace {

struct Run {
  GMainLoop *loop = nullptr;
  int exit_code = 0;
};

gboolean on_signal(gpointer data) {
  auto *run = static_cast<Run *>(data);
  g_message("stopping on signal");
  g_main_loop_quit(run->loop);
  return G_SOURCE_CONTINUE;
}

int run_simulator(int argc, char **argv) {
  g_auto(GStrv) adapters = nullptr;
  gboolean controller_filtering = FALSE;
  gint device_timeout = 30;
  gint instances = 4;
  gint adapters_delay = 50;
  gint sets = -1;
  gint rotation = 2000;
  gboolean air = FALSE;
  gint scan_interval = 60;
  gint scan_window = 30;
  gdouble loss = 0;
  gint64 seed = -1;
  GOptionEntry entries[] = {
      {"adapter", 'a', 0, G_OPTION_ARG_STRING_ARRAY, &adapters,
       "Adapter to create, in order (default hci0 with both managers)",
       "hciN[:nomonitor][:noadvertising][:sets=N]"},
      {"controller-filtering", 0, 0, G_OPTION_ARG_NONE, &controller_filtering,
       "Call DeviceFound once per device instead of per advertisement", nullptr},
      {"device-timeout", 0, 0, G_OPTION_ARG_INT, &device_timeout,
       "Remove devices silent for this long (default 30, 0 keeps them)", "SECONDS"},
      {"advertising-instances", 0, 0, G_OPTION_ARG_INT, &instances,
       "Advertising instances per adapter (default 4)", "N"},
      {"adapters-delay", 0, 0, G_OPTION_ARG_INT, &adapters_delay,
       "Add the adapters this long after owning org.bluez (default 50, 0 at once)", "MS"},
      {"advertising-sets", 0, 0, G_OPTION_ARG_INT, &sets,
       "Hardware advertising sets per adapter: 0 a legacy controller sharing one set by rotation "
       "(default: one per instance, all on air at once)",
       "N"},
      {"rotation-interval", 0, 0, G_OPTION_ARG_INT, &rotation,
       "Turn of each instance sharing a legacy controller's set (default 2000)", "MS"},
      {"air", 0, 0, G_OPTION_ARG_NONE, &air,
       "Time the air: advertising events, scan windows and packet loss (default: heard at once)", nullptr},
      {"scan-interval", 0, 0, G_OPTION_ARG_INT, &scan_interval, "Scanners' scan interval with --air (default 60)",
       "MS"},
      {"scan-window", 0, 0, G_OPTION_ARG_INT, &scan_window, "Scanners' scan window with --air (default 30)", "MS"},
      {"packet-loss", 0, 0, G_OPTION_ARG_DOUBLE, &loss, "Share of packets lost with --air, 0..1 (default 0)", "P"},
      {"seed", 0, 0, G_OPTION_ARG_INT64, &seed, "Seed of the air model (default: from the clock; printed)", "N"},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr},
  };
  g_autoptr(GOptionContext) context = g_option_context_new("- simulated BlueZ daemon and radios");
  g_option_context_set_summary(context,
                               "Owns org.bluez on the system bus (DBUS_SYSTEM_BUS_ADDRESS) and the test "
                               "controls com.vemo.Sim.BlueZ.");
  g_option_context_add_main_entries(context, entries, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(context, &argc, &argv, &error)) {
    g_printerr("bluez-sim: %s\n", error->message);
    return 2;
  }
  if (argc > 1) {
    g_printerr("bluez-sim: unexpected argument \"%s\"\n", argv[1]);
    return 2;
  }
  if (device_timeout < 0 || instances < 1 || instances > 255) {
    g_printerr("bluez-sim: --device-timeout must be >= 0 and --advertising-instances 1..255\n");
    return 2;
  }
  if (adapters_delay < 0 || adapters_delay > 60000) {
    g_printerr("bluez-sim: --adapters-delay must be 0..60000 ms, not %d\n", adapters_delay);
    return 2;
  }

  if (sets < -1 || sets > 255 || rotation < 10 || rotation > 600000 || scan_interval < 3 ||
      scan_interval > 10240 || scan_window < 3 || scan_window > scan_interval || loss < 0 || loss > 1 ||
      seed < -1 || seed > G_MAXUINT32) {
    g_printerr("bluez-sim: --advertising-sets must be 0..255, --rotation-interval 10..600000 ms, "
               "--scan-window 3..--scan-interval ms (at most 10240), --packet-loss 0..1, --seed 0..%u\n",
               G_MAXUINT32);
    return 2;
  }

  bzsim::Options options;
  options.advertising_sets = sets;
  options.rotation_ms = static_cast<guint>(rotation);
  options.air = air != FALSE;
  options.scan.interval_ms = scan_interval;
  options.scan.window_ms = scan_window;
  options.loss = loss;
  options.seed = seed >= 0 ? static_cast<guint32>(seed) : static_cast<guint32>(g_get_real_time());
  if (options.air)
    g_message("air model: seed %u, scan %d/%d ms, packet loss %.3f, rotation %d ms", options.seed, scan_interval,
              scan_window, loss, rotation);
  options.controller_filtering = controller_filtering;
  options.device_timeout_s = static_cast<guint>(device_timeout);
  options.advertising_instances = static_cast<guint>(instances);
  options.adapters_delay_ms = static_cast<guint>(adapters_delay);
  if (adapters == nullptr || adapters[0] == nullptr) {
    options.adapters.push_back({"hci0", true, true});
  } else {
    for (int i = 0; adapters[i] != nullptr; i++) {
      bzsim::Options::AdapterSpec spec;
      if (!bzsim::parse_adapter_spec(adapters[i], &spec, &error)) {
        g_printerr("bluez-sim: %s\n", error->message);
        return 2;
      }
      for (const auto &other : options.adapters)
        if (other.name == spec.name) {
          g_printerr("bluez-sim: adapter %s given twice\n", spec.name.c_str());
          return 2;
        }
      options.adapters.push_back(spec);
    }
  }

  Run run;
  run.loop = g_main_loop_new(nullptr, FALSE);
  guint sigint = g_unix_signal_add(SIGINT, on_signal, &run);
  guint sigterm = g_unix_signal_add(SIGTERM, on_signal, &run);
  {
    bzsim::Simulator simulator(std::move(options));
    if (simulator.start(
            [&run](const char *why) {
              g_warning("stopping: %s", why);
              run.exit_code = 1;
              g_main_loop_quit(run.loop);
            },
            &error)) {
      g_message("bluez-sim %s running", PACKAGE_VERSION);
      g_main_loop_run(run.loop);
    } else {
      g_printerr("bluez-sim: %s\n", error->message);
      run.exit_code = 1;
    }
    simulator.shutdown();
  }
  g_source_remove(sigint);
  g_source_remove(sigterm);
  g_main_loop_unref(run.loop);
  return run.exit_code;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run_simulator(argc, argv);
  } catch (const std::exception &e) {
    g_printerr("bluez-sim: %s\n", e.what());
    return 1;
  }
}
