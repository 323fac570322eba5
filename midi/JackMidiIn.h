// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI input port "MIDI In" on a JACK client, and the automatic
// connection of physical MIDI outputs to it.
//
// Two ways to use it:
//  - standalone: Open() joins a running server (never starts one) as client
//    "Sorvane", registers the port, installs its own process callback and
//    activates the client; Close() or the destructor closes the client.
//  - on a client someone else owns (the sound devices' client "Sorvane",
//    which also carries the audio ports): the owner opens the client, calls
//    Attach() before jack_activate(), calls Process() from its own process
//    callback each cycle, calls Start() once the client is active, and
//    calls Close() after its process callback has stopped calling Process()
//    (after jack_deactivate()) and before jack_client_close(). Attach()
//    installs the client's port-registration and port-connect callbacks,
//    so the owner must not install its own.
//
// Connections: every physical MIDI output there is when Start() runs, and
// every one registered later, is connected to the port once. JACK announces
// new ports on its notification thread, where no connection may be made, so
// a thread of this object makes them. A connection the user breaks stays
// broken.
//
// When a connection to the port goes (the source unregistered, or the user
// broke it), the next cycle lets go of what MIDI holds (ForwardSourceGone).
//
// Standalone, the client notes when the server shuts it down (Lost()); no
// message comes after that, and the owner closes the port and opens a new
// one once a server runs again.
#pragma once

#include <jack/jack.h>

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "midi/MidiPort.h"

namespace sorvane {

class JackMidiIn final : public MidiPort {
 public:
  explicit JackMidiIn(AudioEventQueue& queue) : Queue(queue) {}
  ~JackMidiIn() override { Close(); }

  // Standalone: opens client "Sorvane" on the running server, attaches,
  // activates and starts. False, with why in reason, when no server runs or
  // a step fails (nothing stays open then).
  bool Open(std::string& reason);

  // Registers the port on client (open, not yet active) and the
  // port-registration callback. False, with why in reason, when the port
  // cannot be registered.
  bool Attach(jack_client_t* client, std::string& reason);

  // Client active: connects the physical MIDI outputs there are and, from
  // now on, those that register.
  void Start();

  // Process callback of the client, frames as given to it: copies each
  // message of the cycle into the event queue, nothing else.
  void Process(jack_nframes_t frames) noexcept;

  // Stops the connecting thread; then unregisters the port (attached) or
  // closes the client (standalone). Safe to call twice.
  void Close();

  // Standalone: the server has shut the client down. Any thread.
  bool Lost() const override { return Gone.load(std::memory_order_acquire); }

  // The port's full name ("Sorvane:MIDI In"; the server may rename the
  // client when the name is taken); empty before Attach().
  std::string PortName() const;

 private:
  static int OnProcess(jack_nframes_t frames, void* self);
  static void OnPortRegistration(jack_port_id_t id, int registered, void* self);
  static void OnPortConnect(jack_port_id_t source, jack_port_id_t destination, int connected, void* self);
  static void OnShutdown(jack_status_t code, const char* reason, void* self);
  static void OnThreadInit(void* self);
  // The connecting thread: the ports there are first, then each that
  // registers.
  void Run();
  void ConnectIfPhysicalMidiSource(jack_port_t* source);

  AudioEventQueue& Queue;
  jack_client_t* Client = nullptr;
  bool OwnsClient = false;
  jack_port_t* Port = nullptr;
  std::atomic<bool> Gone{false};
  std::atomic<bool> SourceLost{false};  // set on the notification thread, taken by Process()
  std::atomic<pid_t> ProcessTid{0};     // the standalone client's process thread

  std::thread Connector;
  std::mutex Mutex;  // guards the fields below; never taken on the process thread
  std::condition_variable Wake;
  std::vector<jack_port_id_t> Registered;
  bool Stopping = false;
};

}  // namespace sorvane
