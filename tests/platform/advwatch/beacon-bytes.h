/* Test helpers: beacon payloads built independently of the library. */
#pragma once

#include <glib.h>

#include <string>
#include <vector>

namespace advtest {

/* The 16 bytes a UUID text stands for, in text order. */
inline std::vector<guint8> uuid_bytes(const std::string &text) {
  std::vector<guint8> bytes;
  std::string hex;
  for (char c : text)
    if (c != '-')
      hex += c;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<guint8>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

/* Manufacturer data after the company identifier: version, System ID,
 * event number, sequence number, then @extra. */
inline std::vector<guint8> payload(const std::string &system_id, guint8 event, guint8 sequence,
                                   guint8 version = 1, std::vector<guint8> extra = {}) {
  std::vector<guint8> out{version};
  for (guint8 b : uuid_bytes(system_id))
    out.push_back(b);
  out.push_back(event);
  out.push_back(sequence);
  out.insert(out.end(), extra.begin(), extra.end());
  return out;
}

inline std::string lower(const std::string &text) {
  g_autofree gchar *down = g_ascii_strdown(text.c_str(), -1);
  return down;
}

}  // namespace advtest
