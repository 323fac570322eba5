// SPDX-License-Identifier: GPL-3.0-or-later
// The choice of MIDI system and what the receiving threads hand on.
#include "midi/MidiPort.h"

#include "audio/EventQueue.h"
#include "keyboard/MidiNotes.h"
#include "midi/AlsaMidiIn.h"
#include "midi/JackMidiIn.h"

namespace sorvane {

bool MidiOnJackSoundClient(const char* value) {
  const std::string choice = value != nullptr ? value : "";
  return choice.empty() || choice == "auto" || choice == "jack";
}

std::unique_ptr<MidiPort> OpenMidiPort(const char* value, AudioEventQueue& queue, MidiSystem& system,
                                       std::string& message) {
  system = MidiSystem::None;
  message.clear();
  std::string choice = value != nullptr ? value : "";
  if (choice == "auto") choice.clear();
  if (choice == "none") return nullptr;
  if (!choice.empty() && choice != "alsa" && choice != "jack") {
    message = "sorvane: SORVANE_MIDI=" + choice + " is not alsa, jack, none or auto; running without MIDI input";
    return nullptr;
  }
  std::string alsaReason, jackReason;
  if (choice.empty() || choice == "alsa") {
    auto port = std::make_unique<AlsaMidiIn>(queue);
    if (port->Open(alsaReason)) {
      system = MidiSystem::Alsa;
      return port;
    }
  }
  if (choice.empty() || choice == "jack") {
    auto port = std::make_unique<JackMidiIn>(queue);
    if (port->Open(jackReason)) {
      system = MidiSystem::Jack;
      return port;
    }
  }
  // The reason, then what a newcomer needs next: that the program plays
  // anyway, and how a keyboard's notes get in (the port is looked for only
  // at start).
  const char* stillPlays = ". The on-screen keys and the PC keyboard still play; to play from a MIDI keyboard, ";
  const char* alsaHow = "load the ALSA sequencer (sudo modprobe snd-seq)";
  const char* jackHow = "start a JACK server";
  const char* restart = ", then start Sorvane again";
  if (choice == "alsa") {
    message = "sorvane: no MIDI input: " + alsaReason + stillPlays + alsaHow + restart;
  } else if (choice == "jack") {
    message = "sorvane: no MIDI input: " + jackReason + stillPlays + jackHow + restart;
  } else {
    message =
        "sorvane: no MIDI input: " + alsaReason + ", " + jackReason + stillPlays + alsaHow + " or " + jackHow + restart;
  }
  return nullptr;
}

void ForwardMidiMessage(AudioEventQueue& queue, const uint8_t* bytes, size_t length) noexcept {
  if (length == 0) return;
  switch (bytes[0] & 0xF0) {
    case 0x80:  // note-off
    case 0x90:  // note-on
    case 0xB0:  // control change
    case 0xE0:  // pitch bend
      queue.PostMidi(
          bytes, length,
          MidiLetsGo(bytes, length) ? AudioEventQueue::MidiUrgency::Release : AudioEventQueue::MidiUrgency::Other);
      return;
    default: return;
  }
}

void ForwardSourceGone(AudioEventQueue& queue) noexcept {
  for (uint8_t channel = 0; channel < kMidiChannels; ++channel) {
    const uint8_t status = 0xB0 | channel;
    const uint8_t pedalUp[3] = {status, kCcSustain, 0};
    const uint8_t allNotesOff[3] = {status, kCcAllNotesOff, 0};
    const uint8_t bendAtRest[3] = {static_cast<uint8_t>(0xE0 | channel), 0x00, 0x40};
    queue.PostMidi(pedalUp, 3, AudioEventQueue::MidiUrgency::Release);
    queue.PostMidi(allNotesOff, 3, AudioEventQueue::MidiUrgency::Release);
    queue.PostMidi(bendAtRest, 3, AudioEventQueue::MidiUrgency::Release);
  }
}

}  // namespace sorvane
