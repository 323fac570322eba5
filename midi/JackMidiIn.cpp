// SPDX-License-Identifier: GPL-3.0-or-later
// The JACK MIDI input port: the process callback that copies messages into
// the event queue, and the thread that connects physical MIDI outputs.
#include "midi/JackMidiIn.h"

#include <jack/midiport.h>
#include <unistd.h>

#include <cstring>

#include "audio/EventQueue.h"
#include "midi/JackClient.h"
#include "midi/MidiPort.h"

namespace sorvane {

bool JackMidiIn::Open(std::string& reason) {
  jack_client_t* client;
  {
    const JackMessagesSilenced quiet;  // a failed attempt: the caller says it once
    jack_status_t status;
    client = jack_client_open(kMidiClientName, JackNoStartServer, &status);
  }
  if (client == nullptr) {
    reason = "no JACK server is running";
    return false;
  }
  if (!Attach(client, reason)) {
    jack_client_close(client);
    Client = nullptr;
    return false;
  }
  OwnsClient = true;
  jack_on_info_shutdown(client, &JackMidiIn::OnShutdown, this);
  if (jack_set_process_callback(client, &JackMidiIn::OnProcess, this) != 0 ||
      jack_set_thread_init_callback(client, &JackMidiIn::OnThreadInit, this) != 0 || jack_activate(client) != 0) {
    reason = "the JACK client could not be activated";
    Close();
    return false;
  }
  Start();
  return true;
}

bool JackMidiIn::Attach(jack_client_t* client, std::string& reason) {
  Port = jack_port_register(client, kMidiPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (Port == nullptr) {
    reason = "the JACK MIDI port could not be registered";
    return false;
  }
  Client = client;
  jack_set_port_registration_callback(client, &JackMidiIn::OnPortRegistration, this);
  jack_set_port_connect_callback(client, &JackMidiIn::OnPortConnect, this);
  return true;
}

void JackMidiIn::Start() {
  if (Client == nullptr || Connector.joinable()) return;
  Connector = std::thread([this] { Run(); });
}

void JackMidiIn::Process(jack_nframes_t frames) noexcept {
  void* buffer = jack_port_get_buffer(Port, frames);
  if (buffer == nullptr) return;
  const uint32_t count = jack_midi_get_event_count(buffer);
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) == 0) ForwardMidiMessage(Queue, event.buffer, event.size);
  }
  // After this cycle's messages: the server changes the connections between
  // cycles, so the lost source sent its last in this cycle or before.
  if (SourceLost.load(std::memory_order_relaxed) && SourceLost.exchange(false, std::memory_order_acquire)) {
    ForwardSourceGone(Queue);
  }
}

void JackMidiIn::Close() {
  if (Connector.joinable()) {
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Stopping = true;
    }
    Wake.notify_one();
    Connector.join();
  }
  if (Client == nullptr) return;
  if (OwnsClient && Lost()) {
    // The server has gone from the client: that is known here.
    const JackMessagesSilenced quiet;
    AwaitJackThreadEnd(ProcessTid.load(std::memory_order_acquire));
    jack_client_close(Client);
  } else if (OwnsClient) {
    // Closing deactivates first: the process callback has ended when it
    // returns.
    jack_client_close(Client);
  } else {
    // The client is inactive: nothing announces a port to this object again.
    jack_set_port_registration_callback(Client, nullptr, nullptr);
    jack_set_port_connect_callback(Client, nullptr, nullptr);
    jack_port_unregister(Client, Port);
  }
  Client = nullptr;
  Port = nullptr;
  OwnsClient = false;
}

std::string JackMidiIn::PortName() const { return Port != nullptr ? jack_port_name(Port) : ""; }

int JackMidiIn::OnProcess(jack_nframes_t frames, void* self) {
  static_cast<JackMidiIn*>(self)->Process(frames);
  return 0;
}

// JACK's notification thread: only the flag; the owner closes the client.
void JackMidiIn::OnShutdown(jack_status_t, const char*, void* self) {
  static_cast<JackMidiIn*>(self)->Gone.store(true, std::memory_order_release);
}

// The process thread, once as it starts.
void JackMidiIn::OnThreadInit(void* self) {
  static_cast<JackMidiIn*>(self)->ProcessTid.store(gettid(), std::memory_order_release);
}

// JACK's notification thread: not real-time, but no connection may be made
// here; the port is handed to the connecting thread.
void JackMidiIn::OnPortRegistration(jack_port_id_t id, int registered, void* self) {
  if (!registered) return;
  auto* in = static_cast<JackMidiIn*>(self);
  {
    std::lock_guard<std::mutex> lock(in->Mutex);
    in->Registered.push_back(id);
  }
  in->Wake.notify_one();
}

// JACK's notification thread: a connection to the port has gone.
void JackMidiIn::OnPortConnect(jack_port_id_t, jack_port_id_t destination, int connected, void* self) {
  if (connected) return;
  auto* in = static_cast<JackMidiIn*>(self);
  const jack_port_t* port = jack_port_by_id(in->Client, destination);
  if (port != nullptr && std::strcmp(jack_port_name(port), jack_port_name(in->Port)) == 0) {
    in->SourceLost.store(true, std::memory_order_release);
  }
}

void JackMidiIn::Run() {
  // Ports announced before now are among those listed here; connecting one
  // twice only fails with "already connected".
  if (const char** names =
          jack_get_ports(Client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsPhysical | JackPortIsOutput)) {
    for (const char** name = names; *name != nullptr; ++name) {
      ConnectIfPhysicalMidiSource(jack_port_by_name(Client, *name));
    }
    jack_free(names);
  }
  std::unique_lock<std::mutex> lock(Mutex);
  for (;;) {
    Wake.wait(lock, [this] { return Stopping || !Registered.empty(); });
    if (Stopping) return;
    std::vector<jack_port_id_t> ids;
    ids.swap(Registered);
    lock.unlock();
    for (jack_port_id_t id : ids) ConnectIfPhysicalMidiSource(jack_port_by_id(Client, id));
    lock.lock();
  }
}

void JackMidiIn::ConnectIfPhysicalMidiSource(jack_port_t* source) {
  if (source == nullptr) return;
  const int flags = jack_port_flags(source);
  const char* type = jack_port_type(source);
  if ((flags & JackPortIsPhysical) == 0 || (flags & JackPortIsOutput) == 0 || type == nullptr ||
      std::strcmp(type, JACK_DEFAULT_MIDI_TYPE) != 0) {
    return;
  }
  jack_connect(Client, jack_port_name(source), jack_port_name(Port));
}

}  // namespace sorvane
