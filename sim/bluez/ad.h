/* Advertising data as the radio carries it: AD structures (length, type,
 * content), or-pattern matching as controllers do it, and the conversion of
 * an LEAdvertisement1 property set into AD structures. Pure logic, no D-Bus
 * connection involved, so it is tested on its own. */
#pragma once

#include <glib.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bzsim {

/* Legacy advertising PDUs carry at most 31 bytes of AD structures. */
constexpr size_t kMaxAdvertisingData = 31;

constexpr uint8_t kAdFlags = 0x01;
constexpr uint8_t kAdUuid16Some = 0x02;
constexpr uint8_t kAdUuid16Complete = 0x03;
constexpr uint8_t kAdUuid32Some = 0x04;
constexpr uint8_t kAdUuid32Complete = 0x05;
constexpr uint8_t kAdUuid128Some = 0x06;
constexpr uint8_t kAdUuid128Complete = 0x07;
constexpr uint8_t kAdShortName = 0x08;
constexpr uint8_t kAdCompleteName = 0x09;
constexpr uint8_t kAdTxPower = 0x0a;
constexpr uint8_t kAdSolicit16 = 0x14;
constexpr uint8_t kAdSolicit128 = 0x15;
constexpr uint8_t kAdServiceData16 = 0x16;
constexpr uint8_t kAdAppearance = 0x19;
constexpr uint8_t kAdServiceData32 = 0x20;
constexpr uint8_t kAdServiceData128 = 0x21;
constexpr uint8_t kAdManufacturerData = 0xff;

/* Flags bits: LE limited and general discoverable, BR/EDR not supported. */
constexpr uint8_t kFlagLimited = 0x01;
constexpr uint8_t kFlagGeneral = 0x02;
constexpr uint8_t kFlagNoBrEdr = 0x04;
/* Flags of an advertisement that is not BR/EDR capable, general discoverable. */
constexpr uint8_t kFlagsLeGeneralNoBrEdr = kFlagGeneral | kFlagNoBrEdr;

struct AdStructure {
  uint8_t type = 0;
  std::vector<uint8_t> content;
};

using AdData = std::vector<AdStructure>;

/* Bytes the structures occupy on air (one length and one type byte each). */
size_t ad_encoded_length(const AdData &data);

/* The structures as they go on air, and back; parsing fails (with @why)
 * on a zero or overlong length or a type outside the assigned range. */
std::vector<uint8_t> ad_encode(const AdData &data);
bool ad_parse(const std::vector<uint8_t> &bytes, AdData *out, std::string *why);

/* What a receiver learns from advertising data (and scan response), in
 * the form Device1 publishes it: UUIDs in 128-bit text form. */
struct AdFields {
  std::optional<std::string> name;
  bool name_complete = false;
  std::vector<std::string> uuids;
  std::map<std::string, std::vector<uint8_t>> service_data;
  std::map<uint16_t, std::vector<uint8_t>> manufacturer_data;
  std::optional<uint16_t> appearance;
  std::optional<int16_t> tx_power;
  std::optional<std::vector<uint8_t>> flags;
};
AdFields ad_fields(const AdData &data);

/* 16-, 32- or 128-bit UUID bytes (on-air order) as 128-bit text. */
std::string uuid_to_string(const std::vector<uint8_t> &le_bytes);

/* Manufacturer-specific data by company identifier (little-endian on air). */
std::map<uint16_t, std::vector<uint8_t>> ad_manufacturer_data(const AdData &data);

/* Flags plus one manufacturer-specific structure, as a beacon is sent. */
AdData ad_from_manufacturer(uint16_t company_id, const std::vector<uint8_t> &payload);

struct OrPattern {
  uint8_t start = 0;
  uint8_t ad_type = 0;
  std::vector<uint8_t> content;
};

/* AD types a pattern may name: the assigned range plus manufacturer data. */
bool ad_type_is_valid(uint8_t type);

/* Whether @pattern is usable: a valid AD type and non-empty content that
 * lies within the advertising data. On failure @why says what is wrong. */
bool pattern_is_valid(const OrPattern &pattern, std::string *why);

/* True when some structure of the pattern's type holds the content at the
 * pattern's start offset. */
bool pattern_matches(const OrPattern &pattern, const AdData &data);
bool any_pattern_matches(const std::vector<OrPattern> &patterns, const AdData &data);

/* Parses Patterns (a(yyay)); FALSE with @why when the value is malformed. */
bool patterns_from_variant(GVariant *value, std::vector<OrPattern> *out, std::string *why);

/* An advertisement a client asked to send, from its LEAdvertisement1
 * properties (a{sv} as GetAll answers). */
struct AdvertisementRequest {
  std::string type;             /* "broadcast" or "peripheral" */
  AdData data;                  /* what goes on air */
  AdData scan_response;         /* answered to active scanners */
  guint timeout_s = 0;          /* 0: until unregistered */
  guint interval_ms = 0;        /* transmit period */
  guint min_interval_ms = 0;    /* MinInterval/MaxInterval as asked; 0: not given */
  guint max_interval_ms = 0;
};

/* Default period of an advertisement that names no interval. */
constexpr guint kDefaultIntervalMs = 100;

/* Error kinds of advertisement_from_properties, as BlueZ names them. */
enum class AdError { None, InvalidArguments, InvalidLength };

/* Builds the request from @props the way bluetoothd and the kernel lay it
 * out: the client's data in bluetoothd's order (UUID lists, solicit UUIDs,
 * manufacturer data, service data, appearance, other data including the
 * Flags of Discoverable), the TX power after it, the local name in the
 * scan response (shortened to fit). On failure returns the error kind and
 * sets @why (bluetoothd answers every kind with org.bluez.Error.Failed).
 * @tx_power is what the controller reports when "tx-power" is included;
 * @local_name the adapter's name for "local-name"; @adapter_discoverable
 * makes the kernel add Flags to a peripheral advertisement without them. */
AdError advertisement_from_properties(GVariant *props, const std::string &local_name, int8_t tx_power,
                                      AdvertisementRequest *out, std::string *why,
                                      bool adapter_discoverable = false);

/* Parses a UUID given as 4 hex digits or in 128-bit text form; 128-bit
 * UUIDs on the Bluetooth base shrink to their 16-bit alias. Bytes are in
 * on-air (little-endian) order. */
bool uuid_to_bytes(const char *text, std::vector<uint8_t> *out);

}  // namespace bzsim
