// SPDX-License-Identifier: GPL-3.0-or-later
// Live MIDI input without Qt: one input port, client "Sorvane", port
// "MIDI In", on the ALSA sequencer (AlsaMidiIn.h) or on JACK
// (JackMidiIn.h), chosen here. Every hardware MIDI source is connected to
// the port once, at start or when it appears; what the user connects or
// disconnects later is left alone. The port's receiving thread (the
// sequencer thread, or JACK's process callback) only copies each message
// into the engine's event queue, which the event thread drains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/Interface.h"

namespace sorvane {

class AudioEventQueue;

// SoundClient: the port is on the JACK sound devices' own client
// (devices/JackDevices.h), which posts to their event queue.
enum class MidiSystem { None, Alsa, Jack, SoundClient };

// The client and port names on either system.
inline constexpr char kMidiClientName[] = "Sorvane";
inline constexpr char kMidiPortName[] = "MIDI In";

// An open MIDI input port with its automatic connections; closing it (the
// destructor) stops its threads before it returns, so no message is posted
// to the queue afterwards.
class MidiPort : public Interface {
 public:
  // The port's system has gone (a JACK server that shut down): no message
  // comes any more. Any thread.
  virtual bool Lost() const { return false; }
};

// Whether SORVANE_MIDI's value lets the port be on the JACK sound client
// when the sound runs on JACK: "jack", "auto", null or empty. There it
// replaces the ALSA sequencer and a JACK client of the port's own.
bool MidiOnJackSoundClient(const char* value);

// Opens the port on the system named by value ("alsa", "jack", "none"; null,
// empty or "auto": the ALSA sequencer when /dev/snd/seq opens, else a
// running JACK server). Null when there is none, with the line to print in message
// ("sorvane: ..."); message is empty when none was asked for.
std::unique_ptr<MidiPort> OpenMidiPort(const char* value, AudioEventQueue& queue, MidiSystem& system,
                                       std::string& message);

// Receiving thread: posts one complete message (status byte first) to the
// queue when the keys use it: note-off, note-on, control change and pitch
// bend. The rest (aftertouch, program changes, system messages: dense
// streams from some keyboards) would only take queue cells that a note-off
// may need while the engine is busy. Note-offs and the like go in as
// releases, which find a cell where other messages do not. Lock-free and
// allocation-free, as AudioEventQueue::PostMidi.
void ForwardMidiMessage(AudioEventQueue& queue, const uint8_t* bytes, size_t length) noexcept;

// Receiving thread: a source's connection to the port has gone (a keyboard
// unplugged, a connection broken). The note-offs, pedal lifts and the
// wheel's return of what it held can no longer come, so every channel's
// sustain pedal goes up, all its notes off and its pitch bend back to rest,
// as releases, after everything it sent. Notes that another
// source still holds go too: the port cannot tell its sources apart.
void ForwardSourceGone(AudioEventQueue& queue) noexcept;

}  // namespace sorvane
