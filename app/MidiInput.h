// SPDX-License-Identifier: GPL-3.0-or-later
// The window's side of live MIDI input. The port itself (midi/MidiPort.h:
// client "Sorvane", port "MIDI In" on the ALSA sequencer or JACK, hardware
// sources connected automatically) copies each message into the engine's
// event queue; on the event thread the messages go through the MIDI mapping
// and play the keys as the mouse does (at the note's velocity), pitch bend
// bends the voices, and the modulation wheel moves the depth scroll bar. Without a MIDI system the program runs as before, after
// one line on stderr.
#pragma once

#include <cstdint>
#include <memory>

#include "keyboard/MidiNotes.h"
#include "midi/MidiPort.h"

class QSocketNotifier;

namespace sorvane {

struct EngineState;
class AudioEventQueue;
class EngineNotices;

class MidiInput final : public MidiTarget {
 public:
  // queue: the sound devices' event queue, or null when they have none;
  // then the input keeps a queue of its own, watched on the event thread.
  // notices: where the modulation wheel's depth goes, to move the vibrato
  // depth scroll bar. onSoundClient: the sound client already has the port
  // and posts to queue; no port of its own is opened.
  MidiInput(EngineState& engine, EngineNotices& notices, AudioEventQueue* queue, bool onSoundClient = false);
  ~MidiInput() override;

  MidiSystem System() const { return SystemValue; }
  // Whether MIDI holds the key (the watchdog leaves such keys alone); with
  // the engine's lock held.
  bool HoldsKey(int32_t key) const { return MidiHoldsKey(Notes, key); }

  // The channel played: 0-15 or kMidiAllChannels. The keys MIDI holds are
  // released first, so that no note-off is lost to the new filter.
  void SetChannel(int32_t channel);
  int32_t Channel() const;
  // The sound server that carried the port went away (MidiSourceGone).
  void SourceGone();
  // Every second, from the window: a JACK client of the port's own whose
  // server has gone is closed and the keys it held released; a new one is
  // opened once a server answers again.
  void Watch();
  // MIDI learn: the next controller moved drives control; a learning not
  // finished is cancelled by another StartLearning or by CancelLearning of
  // the same control.
  void StartLearning(MidiControl control);
  void CancelLearning(MidiControl control);
  // Sets (or with kNoController forgets) the controller of control, as
  // restored from the settings or chosen in the preferences.
  void SetController(MidiControl control, int32_t controller);
  // Back to the start-up controllers: the modulation wheel on the depth.
  void ResetControllers();
  // Exactly these controllers (one per MidiControl, or kNoController).
  void SetControllers(const std::array<int32_t, kMidiControlCount>& controllers);
  MidiLearn Controllers() const;

  void MidiKeyDown(int32_t key) override;
  void MidiKeyUp(int32_t key) override;
  // A note's velocity goes to the engine, which plays it only with velocity
  // sensitivity on; the bend bends every voice sounding.
  void MidiKeyStruck(int32_t key, int32_t velocity) override;
  void MidiPitchBend(int32_t bend) override;
  void MidiControlChange(MidiControl control, int32_t value) override;
  void MidiControllerLearnt(MidiControl control, int32_t controller) override;

 private:
  static void OnMidi(void* context, const uint8_t* bytes, size_t length);

  EngineState& Engine;
  EngineNotices& Notices;
  MidiNotes Notes;
  std::unique_ptr<AudioEventQueue> OwnQueue;
  AudioEventQueue* Queue;
  std::unique_ptr<QSocketNotifier> Notifier;
  MidiSystem SystemValue = MidiSystem::None;
  std::unique_ptr<MidiPort> Port;
};

}  // namespace sorvane
