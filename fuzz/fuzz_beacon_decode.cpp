/* The beacon decoder on arbitrary manufacturer data, and the readers on
 * every beacon it accepts.
 *
 * Input: company identifier (2 bytes, little-endian), RSSI (2 bytes,
 * little-endian), address length N (1 byte), N bytes of address text (up to
 * a NUL byte), then the payload to the end of the input, so that a read past
 * the payload is a read past the input. */
#include <cstring>
#include <string>

#include "advwatch-utils.h"
#include "config.h"
#include "fuzz-support.h"

namespace {

constexpr size_t kIdLength = 36;

/* The System ID text must spell payload bytes 1-16 in lower-case hex with
 * dashes after bytes 4, 6, 8 and 10. */
void check_system_id(const gchar *text, const uint8_t *payload) {
  FZ_CHECK(text != nullptr && strlen(text) == kIdLength && g_uuid_string_is_valid(text),
           "decoded System ID '%s' is not UUID text", text != nullptr ? text : "(null)");
  size_t pos = 0;
  for (int i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) {
      FZ_CHECK(text[pos] == '-', "System ID %s: no dash at %zu", text, pos);
      pos++;
    }
    for (int half = 0; half < 2; half++, pos++)
      FZ_CHECK(g_ascii_isdigit(text[pos]) || (text[pos] >= 'a' && text[pos] <= 'f'),
               "System ID %s: '%c' at %zu is not a lower-case hex digit", text, text[pos], pos);
    const int value = g_ascii_xdigit_value(text[pos - 2]) * 16 + g_ascii_xdigit_value(text[pos - 1]);
    FZ_CHECK(value == payload[1 + i], "System ID %s: byte %d reads 0x%02x, the payload has 0x%02x", text, i,
             value, payload[1 + i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fz::setup();
  fz::Reader input(data, size);
  const guint16 company_id = input.u16le();
  const auto rssi = static_cast<gint16>(input.u16le());
  const std::string_view address_bytes = input.take(input.byte());
  const std::string address(address_bytes.substr(0, address_bytes.find('\0')));
  size_t length = 0;
  const uint8_t *payload = input.rest(&length);

  const bool is_beacon = company_id == BEACON_COMPANY_ID && length >= ADVWATCH_BEACON_PAYLOAD_MIN &&
                         payload[0] == ADVWATCH_BEACON_VERSION;

  g_autoptr(GError) error = nullptr;
  g_autoptr(AdvwatchBeacon) beacon =
      advwatch_beacon_decode(company_id, payload, length, address.c_str(), rssi, &error);
  g_autoptr(AdvwatchBeacon) quiet = advwatch_beacon_decode(company_id, payload, length, address.c_str(), rssi, nullptr);
  FZ_CHECK((beacon != nullptr) == (quiet != nullptr),
           "company 0x%04x, %zu payload bytes: the result depends on whether the caller asks for the error",
           company_id, length);

  if (!is_beacon) {
    FZ_CHECK(beacon == nullptr, "company 0x%04x, %zu payload bytes, version %d: decoded as a beacon", company_id,
             length, length > 0 ? payload[0] : -1);
    FZ_CHECK(error != nullptr && error->domain == ADVWATCH_ERROR,
             "company 0x%04x, %zu payload bytes: refused without an error of the library's domain", company_id,
             length);
    // The message names the sender, so a log line can be traced to a device.
    FZ_CHECK(strstr(error->message, address.c_str()) != nullptr, "error '%s' does not name sender '%s'",
             error->message, address.c_str());
    return 0;
  }

  FZ_CHECK(beacon != nullptr, "company 0x%04x, %zu payload bytes, version 1: refused: %s", company_id, length,
           error != nullptr ? error->message : "(no error)");
  FZ_CHECK(error == nullptr, "beacon decoded, yet an error is set: %s", error->message);
  check_system_id(advwatch_beacon_get_system_id(beacon), payload);
  FZ_CHECK(advwatch_beacon_get_event_number(beacon) == payload[17], "event number %u, payload byte 17 is %u",
           advwatch_beacon_get_event_number(beacon), payload[17]);
  FZ_CHECK(advwatch_beacon_get_sequence_number(beacon) == payload[18], "sequence number %u, payload byte 18 is %u",
           advwatch_beacon_get_sequence_number(beacon), payload[18]);
  FZ_CHECK(advwatch_beacon_get_rssi(beacon) == rssi, "RSSI %d, decoded with %d", advwatch_beacon_get_rssi(beacon),
           rssi);
  const gchar *got_address = advwatch_beacon_get_address(beacon);
  FZ_CHECK(got_address != nullptr && address == got_address, "address '%s', decoded with '%s'",
           got_address != nullptr ? got_address : "(null)", address.c_str());
  // The beacon owns copies: the readers must not point into the caller's buffers.
  FZ_CHECK(got_address != address.c_str(), "the beacon keeps the caller's address buffer");
  return 0;
}
