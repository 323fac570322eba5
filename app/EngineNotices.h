// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine tells the window (key colours, the phrase buttons, the
// take button, the start of the sound, the close request, the modulation
// wheel's depth, error boxes), carried from whichever thread the engine runs
// on to the window's thread, in the order it was said.
//
// The engine's own thread never waits for the window: it puts each notice in
// a bounded lock-free queue and wakes the window through an eventfd. On the
// window's thread a notice is delivered at once, after any still waiting,
// so that the window's own key presses colour their keys before the call
// returns, exactly as when everything ran on one thread. An error box shown
// on the window's thread from inside an engine handler lets go of the
// engine's lock while it is open, so that the blocks go on meanwhile.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <QObject>

#include "engine/Engine.h"
#include "keyboard/MidiNotes.h"

class QSocketNotifier;

namespace sorvane {

// The window's side: the engine's notifications, the values MIDI
// controllers ask for (moved on the control, whose own handler then sets
// it), and a controller learnt.
class NoticeTarget : public EngineHost {
 public:
  virtual void ControlFromMidi(MidiControl control, int32_t value) = 0;
  virtual void MidiControllerLearnt(MidiControl /*control*/, int32_t /*controller*/) {}
};

class EngineNotices final : public QObject, public EngineHost {
 public:
  // Notices waiting at most; when full (the window's thread stopped for
  // seconds while the engine played hundreds of notes), a notice is
  // counted in Overflows() and lost.
  static constexpr size_t kCapacity = 1024;
  static constexpr size_t kTextBytes = 512;

  // On the window's thread: the thread that delivers.
  EngineNotices(NoticeTarget& target, EngineMutex& engineLock);
  ~EngineNotices() override;
  EngineNotices(const EngineNotices&) = delete;
  EngineNotices& operator=(const EngineNotices&) = delete;

  // Sends every error box through this queue from now on, until the
  // destructor: those of other threads wait for the window's thread.
  void RouteErrorBoxes();
  // Window's thread: delivers every notice waiting, oldest first.
  void Drain();
  uint64_t Overflows() const { return OverflowCount.load(std::memory_order_relaxed); }

  // EngineHost, on any thread.
  void KeyColourChanged(int32_t key, bool sounding) override;
  void PhraseButtonsChanged(const PhraseButtons& buttons) override;
  void TakeChanged(bool recording) override;
  void AudioStarted() override;
  void RequestClose() override;
  // MIDI controllers, on any thread.
  void ControlFromMidi(MidiControl control, int32_t value);
  void MidiControllerLearnt(MidiControl control, int32_t controller);

 private:
  enum class Kind : uint8_t { KeyColour, PhraseButtons, Take, AudioStarted, RequestClose, Control, Learnt, Box };
  struct Notice {
    Kind What = Kind::AudioStarted;
    int32_t Value = 0;
    bool Flag = false;
    MidiControl Control = MidiControl::ModDepth;
    PhraseButtons Buttons{};
    const char* Caption = nullptr;
    std::array<char, kTextBytes> Text{};
  };
  struct Cell {
    std::atomic<size_t> Sequence;
    Notice Item;
  };

  static Notice Make(Kind what, int32_t value = 0, bool flag = false);
  bool OnWindowThread() const;
  // Delivered now on the window's thread, else queued for it.
  void Send(const Notice& notice);
  void Deliver(const Notice& notice);
  void ShowBox(const char* caption, const char* text);
  bool Push(const Notice& notice) noexcept;
  bool Pop(Notice& notice) noexcept;
  static bool RouteBox(void* context, const char* caption, const char* text);

  NoticeTarget& Target;
  EngineMutex& EngineLock;
  std::unique_ptr<Cell[]> Cells;
  alignas(64) std::atomic<size_t> EnqueuePos{0};
  alignas(64) size_t DequeuePos = 0;  // window's thread only
  std::atomic<uint64_t> OverflowCount{0};
  int WakeDescriptor = -1;
  QSocketNotifier* Notifier = nullptr;
  bool Routing = false;
  // The texts of the boxes open now, innermost last: a box asked for again
  // while it is open is not shown again inside itself.
  std::vector<std::array<char, kTextBytes>> OpenBoxes;
};

}  // namespace sorvane
