// SPDX-License-Identifier: GPL-3.0-or-later
// Live MIDI input of the desktop program. One input port, client "Sorvane",
// port "MIDI In", on the ALSA sequencer when there is one, else on a running
// JACK server (SORVANE_MIDI=alsa|jack|none decides instead); every hardware
// MIDI source is connected to it at start and whenever one appears. The
// port's thread only copies each message into the engine's event queue;
// on the event thread the messages go through the MIDI mapping and play the
// keys as the mouse does. Without a MIDI system the program runs as before,
// after one line on stderr.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/Interface.h"
#include "keyboard/MidiNotes.h"

class QScrollBar;
class QSocketNotifier;

namespace sorvane {

struct EngineState;
class AudioEventQueue;

enum class MidiSystem { None, Alsa, Jack };

// The MIDI port and its automatic connections; defined with the MIDI
// libraries.
class MidiPort : public Interface {
 public:
};

// Opens the port on the system chosen by SORVANE_MIDI (value may be null:
// automatic). Null, with the line to show in message, when there is none;
// message is empty when none was asked for.
std::unique_ptr<MidiPort> OpenMidiPort(const char* value, AudioEventQueue& queue, MidiSystem& system,
                                       std::string& message);

class MidiInput final : public MidiTarget {
 public:
  // queue: the sound devices' event queue, or null when they have none;
  // then the input keeps a queue of its own, watched on the event thread.
  // depthBar: the vibrato depth scroll bar, moved by the modulation wheel.
  MidiInput(EngineState& engine, QScrollBar* depthBar, AudioEventQueue* queue);
  ~MidiInput() override;

  MidiSystem System() const { return SystemValue; }
  // Whether MIDI holds the key (the watchdog leaves such keys alone).
  bool HoldsKey(int32_t key) const { return MidiHoldsKey(Notes, key); }

  void MidiKeyDown(int32_t key) override;
  void MidiKeyUp(int32_t key) override;
  void MidiModDepth(int32_t depth) override;

 private:
  static void OnMidi(void* context, const uint8_t* bytes, size_t length);

  EngineState& Engine;
  QScrollBar* DepthBar;
  MidiNotes Notes;
  std::unique_ptr<AudioEventQueue> OwnQueue;
  AudioEventQueue* Queue;
  std::unique_ptr<QSocketNotifier> Notifier;
  MidiSystem SystemValue = MidiSystem::None;
  std::unique_ptr<MidiPort> Port;
};

}  // namespace sorvane
