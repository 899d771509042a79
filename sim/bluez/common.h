/* What the parts of the simulator share: BlueZ's error names and small
 * GVariant helpers. Internal to bluez-sim. */
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace bzsim {

constexpr char kErrorFailed[] = "org.bluez.Error.Failed";
constexpr char kErrorInvalidArguments[] = "org.bluez.Error.InvalidArguments";
constexpr char kErrorAlreadyExists[] = "org.bluez.Error.AlreadyExists";
constexpr char kErrorDoesNotExist[] = "org.bluez.Error.DoesNotExist";
constexpr char kErrorNotPermitted[] = "org.bluez.Error.NotPermitted";
constexpr char kControlError[] = "com.vemo.Sim.Error.Failed";
constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";

/* How strongly one simulated adapter hears another: they sit side by side. */
constexpr gint16 kNeighbourRssi = -40;
/* BlueZ waits this long for a client's GetManagedObjects or GetAll. */
constexpr int kClientCallTimeoutMs = 25000;

GVariant *string_array(const std::vector<std::string> &items);
GVariant *manufacturer_variant(const std::map<uint16_t, std::vector<uint8_t>> &data);
std::map<uint16_t, std::vector<uint8_t>> manufacturer_map(GVariant *value);
bool valid_adapter_name(const std::string &name);
/* True for a static random address (both top bits set): how injected and
 * added devices tell their AddressType. */
bool looks_static_random(const std::string &address);
/* A fresh non-resolvable private address (top bits 00, neither the random
 * part all zeros nor all ones), as the kernel picks for non-connectable
 * advertising. */
std::string new_nonresolvable_address();

}  // namespace bzsim
