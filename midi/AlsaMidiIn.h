// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI input port "MIDI In" of sequencer client "Sorvane" on the ALSA
// sequencer, and the automatic connection of hardware MIDI sources to it.
//
// One client, one port (writable and subscribable by others). The port
// also receives the system's announcements (System:Announce is connected
// to it): every hardware source there is at Open() is connected once, and
// every one that starts later once, on its port-start announcement; a
// connection the user makes or breaks stays as it is. When a connection to
// the port goes (announced as an unsubscription: a source unplugged, or a
// connection broken), what MIDI holds is let go (ForwardSourceGone). A
// thread of this object waits on the sequencer's poll descriptors, decodes
// each event to MIDI bytes and copies them into the event queue.
#pragma once

#include <alsa/asoundlib.h>

#include <string>
#include <thread>

#include "midi/MidiPort.h"

namespace sorvane {

class AlsaMidiIn final : public MidiPort {
 public:
  explicit AlsaMidiIn(AudioEventQueue& queue) : Queue(queue) {}
  ~AlsaMidiIn() override { Close(); }

  // Opens the client and port, connects the hardware sources and starts the
  // receiving thread. False, with why in reason, when the sequencer cannot
  // be opened or a step fails (nothing stays open then).
  bool Open(std::string& reason);

  // Stops the receiving thread and closes the client. Safe to call twice.
  void Close();

 private:
  // The receiving thread: until StopFd is written.
  void Run();
  void OnEvent(const snd_seq_event_t& event, snd_seq_port_info_t* scratch);
  // Connects source to our port when it is a hardware MIDI source of
  // another client.
  void ConnectIfHardwareSource(const snd_seq_port_info_t* source);

  AudioEventQueue& Queue;
  snd_seq_t* Seq = nullptr;
  snd_midi_event_t* Decoder = nullptr;
  int Client = -1;
  int Port = -1;
  int StopFd = -1;
  std::thread Receiver;
};

}  // namespace sorvane
