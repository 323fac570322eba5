// SPDX-License-Identifier: GPL-3.0-or-later
// Standard MIDI Files put together byte by byte, for the renderer's tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace sorvane::test::smf {

using Bytes = std::vector<uint8_t>;

inline void Append(Bytes& out, std::initializer_list<int> bytes) {
  for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
}

// A delta time as a variable-length quantity.
inline void Delta(Bytes& out, uint32_t ticks) {
  uint8_t groups[5];
  int n = 0;
  do {
    groups[n++] = ticks & 0x7F;
    ticks >>= 7;
  } while (ticks != 0);
  while (n > 1) out.push_back(static_cast<uint8_t>(groups[--n] | 0x80));
  out.push_back(groups[0]);
}

inline void Tempo(Bytes& out, uint32_t delta, uint32_t microsPerQuarter) {
  Delta(out, delta);
  Append(out, {0xFF, 0x51, 0x03, static_cast<int>(microsPerQuarter >> 16),
               static_cast<int>((microsPerQuarter >> 8) & 0xFF), static_cast<int>(microsPerQuarter & 0xFF)});
}

inline void Event(Bytes& out, uint32_t delta, std::initializer_list<int> bytes) {
  Delta(out, delta);
  Append(out, bytes);
}

inline void EndOfTrack(Bytes& out) { Append(out, {0x00, 0xFF, 0x2F, 0x00}); }

inline Bytes Chunk(const char* type, const Bytes& body) {
  Bytes out(type, type + 4);
  const auto n = static_cast<uint32_t>(body.size());
  Append(out, {static_cast<int>(n >> 24), static_cast<int>((n >> 16) & 0xFF), static_cast<int>((n >> 8) & 0xFF),
               static_cast<int>(n & 0xFF)});
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

inline Bytes Smf(int format, int division, const std::vector<Bytes>& tracks) {
  Bytes header;
  Append(header, {0, format, static_cast<int>(tracks.size() >> 8), static_cast<int>(tracks.size() & 0xFF),
                  division >> 8, division & 0xFF});
  Bytes file = Chunk("MThd", header);
  for (const Bytes& t : tracks) {
    const Bytes c = Chunk("MTrk", t);
    file.insert(file.end(), c.begin(), c.end());
  }
  return file;
}

inline std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

}  // namespace sorvane::test::smf
