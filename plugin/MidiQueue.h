// SPDX-License-Identifier: GPL-3.0-or-later
// MIDI messages waiting for their block. A message at a host frame belongs
// to the first block whose last voice sample stands at or after that frame;
// the converter's look-ahead means that block is often made in a later run
// than the one that brought the message.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace sorvane {

class MidiQueue {
 public:
  // Channel messages, of up to three bytes.
  static constexpr uint32_t kMessageBytes = 3;
  static constexpr uint32_t kCapacity = 1024;

  struct Message {
    double Frame;  // host frame, counted from the vocoder's Reset
    uint8_t Bytes[kMessageBytes];
    uint32_t Size;
  };

  void Clear() { Head = Count = 0; }
  bool Full() const { return Count == kCapacity; }
  // Adds a message of size <= kMessageBytes after those already waiting
  // (frames never go back); the caller checks Full first.
  void Push(double frame, const uint8_t* bytes, uint32_t size) {
    Message& m = Slots[(Head + Count) % kCapacity];
    m.Frame = frame;
    m.Size = size;
    std::memcpy(m.Bytes, bytes, m.Size);
    Count += 1;
  }
  // Hands each message at or before lastFrame to take, oldest first.
  template <typename Take>
  void TakeDue(double lastFrame, Take take) {
    while (Count > 0 && Slots[Head].Frame <= lastFrame) {
      const Message& m = Slots[Head];
      take(m.Bytes, m.Size);
      Head = (Head + 1) % kCapacity;
      Count -= 1;
    }
  }

 private:
  std::array<Message, kCapacity> Slots{};
  uint32_t Head = 0;
  uint32_t Count = 0;
};

}  // namespace sorvane
