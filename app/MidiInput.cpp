// SPDX-License-Identifier: GPL-3.0-or-later
// The event-thread side of live MIDI input: the queued messages turned into
// key presses and scroll bar moves.
#include "app/MidiInput.h"

#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "app/EngineNotices.h"
#include "audio/EventQueue.h"
#include "engine/Engine.h"

namespace sorvane {

MidiInput::MidiInput(EngineState& engine, EngineNotices& notices, AudioEventQueue* queue, bool onSoundClient)
    : Engine(engine), Notices(notices), Queue(queue) {
  ResetMidiNotes(Notes, kMidiAllChannels);
  if (Queue == nullptr) {
    OwnQueue = std::make_unique<AudioEventQueue>();
    Queue = OwnQueue.get();
    Notifier = std::make_unique<QSocketNotifier>(Queue->WakeFd(), QSocketNotifier::Read);
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { Queue->DispatchAll(EngineEvents(Engine)); });
  }
  Queue->SetMidiHandler(&MidiInput::OnMidi, this);
  if (onSoundClient && queue != nullptr) {
    SystemValue = MidiSystem::SoundClient;
    return;
  }
  std::string message;
  Port = OpenMidiPort(std::getenv("SORVANE_MIDI"), *Queue, SystemValue, message);
  if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
}

MidiInput::~MidiInput() {
  // The port's thread stops posting before the handler goes.
  Port.reset();
  Queue->SetMidiHandler(nullptr, nullptr);
}

void MidiInput::OnMidi(void* context, const uint8_t* bytes, size_t length) {
  auto* self = static_cast<MidiInput*>(context);
  // On the engine's thread or the window's; the watchdog reads the notes.
  std::lock_guard<EngineMutex> lock(self->Engine.EngineLock);
  MidiMessage(self->Notes, bytes, length, self->Engine.Params.Octave, *self);
}

// As a mouse press and release on the key (KeyMouseDown, KeyMouseUp).
void MidiInput::MidiKeyDown(int32_t key) { KeyNoteOn(Engine, key); }

void MidiInput::MidiKeyUp(int32_t key) { KeyNoteOff(Engine, key); }

// Both under the engine's lock, taken by OnMidi.
void MidiInput::MidiKeyStruck(int32_t key, int32_t velocity) { KeyNoteOn(Engine, key, velocity); }

void MidiInput::MidiPitchBend(int32_t bend) { SetPitchBend(Engine, bend); }

// As if the user moved the control, on the window's thread.
void MidiInput::MidiControlChange(MidiControl control, int32_t value) { Notices.ControlFromMidi(control, value); }

void MidiInput::MidiControllerLearnt(MidiControl control, int32_t controller) {
  Notices.MidiControllerLearnt(control, controller);
}

void MidiInput::SetChannel(int32_t channel) {
  std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  if (channel == Notes.Channel) return;
  MidiReleaseAll(Notes, *this);
  Notes.Channel = channel;
}

void MidiInput::SourceGone() {
  std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  MidiSourceGone(Notes, *this);
}

void MidiInput::Watch() {
  if (SystemValue != MidiSystem::Jack) return;
  if (Port != nullptr && Port->Lost()) {
    Port.reset();
    SourceGone();
    std::fprintf(stderr, "sorvane: the JACK server went away; MIDI input comes back with it\n");
  } else if (Port == nullptr) {
    MidiSystem system;
    std::string message;
    Port = OpenMidiPort("jack", *Queue, system, message);
    if (Port != nullptr) std::fprintf(stderr, "sorvane: MIDI input is back on JACK\n");
  }
}

int32_t MidiInput::Channel() const {
  std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  return Notes.Channel;
}

void MidiInput::StartLearning(MidiControl control) {
  std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  Notes.Learn.Learning = static_cast<int32_t>(control);
}

void MidiInput::CancelLearning(MidiControl control) {
  std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  if (Notes.Learn.Learning == static_cast<int32_t>(control)) Notes.Learn.Learning = -1;
}

void MidiInput::SetController(MidiControl control, int32_t controller) {
  std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  AssignController(Notes.Learn, control, controller);
}

void MidiInput::ResetControllers() {
  std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  ResetMidiLearn(Notes.Learn);
}

void MidiInput::SetControllers(const std::array<int32_t, kMidiControlCount>& controllers) {
  std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  for (int c = 0; c < kMidiControlCount; ++c) AssignController(Notes.Learn, static_cast<MidiControl>(c), kNoController);
  for (int c = 0; c < kMidiControlCount; ++c)
    AssignController(Notes.Learn, static_cast<MidiControl>(c), controllers[c]);
}

MidiLearn MidiInput::Controllers() const {
  std::lock_guard<EngineMutex> lock(Engine.EngineLock);
  return Notes.Learn;
}

}  // namespace sorvane
