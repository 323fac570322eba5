// SPDX-License-Identifier: GPL-3.0-or-later
// The hand-overs of the plugin's phrase buffers.
#include "plugin/PhraseExchange.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

namespace sorvane {

PhraseExchange::PhraseExchange() {
  for (auto& buffer : Buffers) {
    buffer = std::make_unique<PhraseBuffer>();
    std::memset(static_cast<void*>(buffer.get()), 0, sizeof(PhraseBuffer));
  }
  LiveBuffer = Buffers[0].get();
  SpareBuffer = Buffers[1].get();
  IncomingBuffer = Buffers[2].get();
  Snapshot = Buffers[3].get();
}

void PhraseExchange::SwapSpare() {
  std::swap(LiveBuffer, SpareBuffer);
  Changed = true;
}

PhraseBuffer& PhraseExchange::BeginIncoming() {
  for (int i = 0; i < 200 && Offered.load(std::memory_order_acquire); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Offered.store(false, std::memory_order_release);
  return *IncomingBuffer;
}

bool PhraseExchange::TakeIncoming() {
  if (!Offered.load(std::memory_order_acquire)) return false;
  std::swap(LiveBuffer, IncomingBuffer);
  Offered.store(false, std::memory_order_release);
  Changed = true;
  return true;
}

void PhraseExchange::TryPublish() {
  if (!Changed) return;
  int32_t expected = kFree;
  // A save reading the snapshot: the copy waits for a later run.
  if (!Use.compare_exchange_strong(expected, kWriting, std::memory_order_acquire)) return;
  std::memcpy(static_cast<void*>(Snapshot), LiveBuffer, sizeof(PhraseBuffer));
  Use.store(kFree, std::memory_order_release);
  Changed = false;
}

void PhraseExchange::CopySnapshot(PhraseBuffer& out) {
  for (;;) {
    int32_t expected = kFree;
    if (Use.compare_exchange_weak(expected, kReading, std::memory_order_acquire)) break;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  std::memcpy(static_cast<void*>(&out), Snapshot, sizeof(PhraseBuffer));
  Use.store(kFree, std::memory_order_release);
}

}  // namespace sorvane
