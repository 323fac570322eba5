// SPDX-License-Identifier: GPL-3.0-or-later
// The plugin's phrases and how they change hands between its threads
// without a lock. run() replays and captures into the live buffer; the
// worker loads a file into the spare one and run() swaps the two in the
// worker's response; a restore fills the incoming buffer and offers it, and
// run() swaps it in at its next start. For saving, run() copies the live
// phrase, after each change, into a snapshot that the save reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "phrase/PhraseTables.h"

namespace sorvane {

// A phrase as the synthesis replays it, and whether one was captured,
// loaded or restored into it.
struct PhraseBuffer {
  PhraseStore Store;
  bool Present;
};
static_assert(std::is_trivially_copyable_v<PhraseBuffer>);

class PhraseExchange {
 public:
  PhraseExchange();  // allocates the buffers, all empty
  PhraseExchange(const PhraseExchange&) = delete;
  PhraseExchange& operator=(const PhraseExchange&) = delete;

  // run()'s thread: the phrase replayed and captured into.
  PhraseBuffer& Live() { return *LiveBuffer; }
  // The worker's, from the request that run() schedules to the response.
  PhraseBuffer& Spare() { return *SpareBuffer; }
  // run()'s thread, in the worker's response: the spare becomes live.
  void SwapSpare();

  // The restoring thread, never at the same time as another restore: the
  // buffer to fill, then the offer to run(). An offer run() has not taken
  // yet is waited for a moment, then withdrawn: the host is not running the
  // instance, and this restore replaces the last.
  PhraseBuffer& BeginIncoming();
  void OfferIncoming() { Offered.store(true, std::memory_order_release); }
  // run()'s thread: swaps an offered phrase in; true when it did.
  bool TakeIncoming();

  // run()'s thread: the live phrase changed; the snapshot follows it as soon
  // as no save is reading it (TryPublish, at the end of every run).
  void MarkChanged() { Changed = true; }
  void TryPublish();
  // The saving thread: copies the snapshot into out, waiting (never
  // longer than one copy by run()) while run() writes it.
  void CopySnapshot(PhraseBuffer& out);

 private:
  enum SnapshotUse : int32_t { kFree = 0, kWriting = 1, kReading = 2 };

  std::unique_ptr<PhraseBuffer> Buffers[4];
  PhraseBuffer* LiveBuffer;
  PhraseBuffer* SpareBuffer;
  PhraseBuffer* IncomingBuffer;
  PhraseBuffer* Snapshot;
  std::atomic<bool> Offered{false};
  std::atomic<int32_t> Use{kFree};
  bool Changed = false;  // run()'s own
};

}  // namespace sorvane
