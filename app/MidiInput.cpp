// SPDX-License-Identifier: GPL-3.0-or-later
// The MIDI port on RtMidi (ALSA sequencer or JACK), the automatic
// connection of hardware sources, and the event-thread side that turns the
// queued messages into key presses.
#include "app/MidiInput.h"

#include <QScrollBar>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/Engine.h"
#include "engine/EventQueue.h"

#if defined(SORVANE_HAVE_RTMIDI)
#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <RtMidi.h>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>
#endif

namespace sorvane {

namespace {

constexpr char kClientName[] = "Sorvane";
constexpr char kPortName[] = "MIDI In";
// The helper client that makes the automatic connections.
constexpr char kPatchClientName[] = "Sorvane MIDI patch";

#if defined(SORVANE_HAVE_RTMIDI)

// RtMidi's thread: copies the message into the queue, nothing else.
void OnRtMidiMessage(double, std::vector<unsigned char>* message, void* queue) {
  if (message == nullptr) return;
  static_cast<AudioEventQueue*>(queue)->PostMidi(message->data(), message->size());
}

// Errors while opening are kept for the one line on stderr; later ones
// (a full RtMidi buffer, a vanished server) are not shown.
struct RtMidiErrors {
  bool Failed = false;
  std::string Text;
};

void OnRtMidiError(RtMidiError::Type type, const std::string& text, void* context) {
  auto* errors = static_cast<RtMidiErrors*>(context);
  if (errors == nullptr || type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) return;
  errors->Failed = true;
  if (errors->Text.empty()) errors->Text = text;
}

void OnRtMidiErrorLater(RtMidiError::Type, const std::string&, void*) {}

// Opens the RtMidi input port; null with the reason when it fails.
std::unique_ptr<RtMidiIn> OpenRtMidiPort(RtMidi::Api api, AudioEventQueue& queue, std::string& reason) {
  RtMidiErrors errors;
  std::unique_ptr<RtMidiIn> in;
  try {
    in = std::make_unique<RtMidiIn>(api, kClientName);
    in->setErrorCallback(&OnRtMidiError, &errors);
    // System exclusive, timing and active sensing never reach the queue.
    in->ignoreTypes(true, true, true);
    in->setCallback(&OnRtMidiMessage, &queue);
    in->openVirtualPort(kPortName);
  } catch (const RtMidiError& e) {
    reason = e.getMessage();
    return nullptr;
  }
  if (errors.Failed) {
    reason = errors.Text;
    return nullptr;
  }
  in->setErrorCallback(&OnRtMidiErrorLater, nullptr);
  return in;
}

// ---- JACK ----

void JackSilent(const char*) {}
void JackToStderr(const char* text) { std::fprintf(stderr, "%s\n", text); }

// A JACK client that connects every physical MIDI source to our port: at
// start, and each time one registers. JACK announces new ports on its own
// thread, where no connection may be made; a worker thread makes them.
class JackPatch {
 public:
  // Asks the server (never starts one); null when none runs.
  static std::unique_ptr<JackPatch> Open() {
    // The failed attempt would print several lines of its own.
    jack_set_error_function(&JackSilent);
    jack_set_info_function(&JackSilent);
    jack_status_t status;
    jack_client_t* client = jack_client_open(kPatchClientName, JackNoStartServer, &status);
    jack_set_error_function(&JackToStderr);
    jack_set_info_function(&JackToStderr);
    if (client == nullptr) return nullptr;
    return std::unique_ptr<JackPatch>(new JackPatch(client));
  }

  ~JackPatch() {
    // The worker stops before the client it connects with goes; JACK's
    // announcements only queue ports until the client is closed.
    {
      std::lock_guard<std::mutex> lock(Mutex);
      Stopping = true;
    }
    Wake.notify_one();
    if (Worker.joinable()) Worker.join();
    jack_client_close(Client);
  }

  // Our port exists: connect the sources there are and watch for new ones.
  void Start(const std::string& target) {
    Target = target;
    jack_set_port_registration_callback(Client, &JackPatch::OnRegistration, this);
    if (jack_activate(Client) != 0) return;
    Worker = std::thread([this] { Run(); });
    const char** ports =
        jack_get_ports(Client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsPhysical | JackPortIsOutput);
    if (ports == nullptr) return;
    for (const char** p = ports; *p != nullptr; ++p) jack_connect(Client, *p, Target.c_str());
    jack_free(ports);
  }

 private:
  explicit JackPatch(jack_client_t* client) : Client(client) {}

  static void OnRegistration(jack_port_id_t id, int registered, void* self) {
    if (!registered) return;
    auto* patch = static_cast<JackPatch*>(self);
    {
      std::lock_guard<std::mutex> lock(patch->Mutex);
      patch->Pending.push_back(id);
    }
    patch->Wake.notify_one();
  }

  void Run() {
    std::unique_lock<std::mutex> lock(Mutex);
    for (;;) {
      Wake.wait(lock, [this] { return Stopping || !Pending.empty(); });
      if (Stopping) return;
      std::vector<jack_port_id_t> ids;
      ids.swap(Pending);
      lock.unlock();
      for (jack_port_id_t id : ids) ConnectIfHardwareSource(id);
      lock.lock();
    }
  }

  void ConnectIfHardwareSource(jack_port_id_t id) {
    jack_port_t* port = jack_port_by_id(Client, id);
    if (port == nullptr) return;
    const int flags = jack_port_flags(port);
    const char* type = jack_port_type(port);
    if ((flags & JackPortIsPhysical) == 0 || (flags & JackPortIsOutput) == 0 || type == nullptr ||
        std::strcmp(type, JACK_DEFAULT_MIDI_TYPE) != 0) {
      return;
    }
    jack_connect(Client, jack_port_name(port), Target.c_str());
  }

  jack_client_t* Client;
  std::string Target;
  std::thread Worker;
  std::mutex Mutex;
  std::condition_variable Wake;
  std::vector<jack_port_id_t> Pending;
  bool Stopping = false;
};

// ---- ALSA sequencer ----

bool AlsaSequencerPresent() { return access("/dev/snd/seq", R_OK | W_OK) == 0; }

// A sequencer client that connects every hardware source port to our port:
// at start, and on each port-start announcement of the system. Connections
// the user makes or breaks are left alone.
class AlsaPatch {
 public:
  static std::unique_ptr<AlsaPatch> Open() {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) return nullptr;
    auto patch = std::unique_ptr<AlsaPatch>(new AlsaPatch(seq));
    snd_seq_set_client_name(seq, kPatchClientName);
    patch->Own = snd_seq_create_simple_port(seq, "announcements", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                            SND_SEQ_PORT_TYPE_APPLICATION);
    if (patch->Own < 0 || snd_seq_connect_from(seq, patch->Own, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE) < 0) {
      return nullptr;
    }
    patch->StopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (patch->StopFd < 0) return nullptr;
    return patch;
  }

  ~AlsaPatch() {
    if (Worker.joinable()) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t n = write(StopFd, &one, sizeof one);
      Worker.join();
    }
    if (StopFd >= 0) close(StopFd);
    snd_seq_close(Seq);
  }

  // Finds our port by its names, connects the hardware sources there are and
  // watches for new ones.
  void Start() {
    if (!FindTarget()) return;
    ForEachPort([this](snd_seq_client_info_t*, snd_seq_port_info_t* port) {
      ConnectIfHardwareSource(port);
      return false;
    });
    Worker = std::thread([this] { Run(); });
  }

 private:
  explicit AlsaPatch(snd_seq_t* seq) : Seq(seq) {}

  // Calls visit(client, port) for every port of every client until it
  // returns true; says whether one did.
  template <typename Visit>
  bool ForEachPort(Visit visit) {
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(Seq, client) >= 0) {
      snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
      snd_seq_port_info_set_port(port, -1);
      while (snd_seq_query_next_port(Seq, port) >= 0) {
        if (visit(client, port)) return true;
      }
    }
    return false;
  }

  bool FindTarget() {
    return ForEachPort([this](snd_seq_client_info_t* client, snd_seq_port_info_t* port) {
      if (std::strcmp(snd_seq_client_info_get_name(client), kClientName) != 0 ||
          std::strcmp(snd_seq_port_info_get_name(port), kPortName) != 0) {
        return false;
      }
      Target = *snd_seq_port_info_get_addr(port);
      return true;
    });
  }

  void ConnectIfHardwareSource(const snd_seq_port_info_t* port) {
    const unsigned caps = snd_seq_port_info_get_capability(port);
    const unsigned type = snd_seq_port_info_get_type(port);
    const unsigned readable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    if ((type & SND_SEQ_PORT_TYPE_HARDWARE) == 0 || (caps & readable) != readable ||
        (caps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0) {
      return;
    }
    snd_seq_port_subscribe_t* subscription;
    snd_seq_port_subscribe_alloca(&subscription);
    snd_seq_port_subscribe_set_sender(subscription, snd_seq_port_info_get_addr(port));
    snd_seq_port_subscribe_set_dest(subscription, &Target);
    snd_seq_subscribe_port(Seq, subscription);  // already connected: nothing to do
  }

  void Run() {
    const int count = snd_seq_poll_descriptors_count(Seq, POLLIN);
    if (count <= 0 || count > 7) return;
    pollfd fds[8];
    snd_seq_poll_descriptors(Seq, fds, static_cast<unsigned>(count), POLLIN);
    fds[count] = pollfd{StopFd, POLLIN, 0};
    snd_seq_port_info_t* port;
    snd_seq_port_info_alloca(&port);
    for (;;) {
      if (poll(fds, static_cast<nfds_t>(count + 1), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[count].revents != 0) return;
      snd_seq_event_t* event = nullptr;
      while (snd_seq_event_input(Seq, &event) >= 0 && event != nullptr) {
        if (event->type == SND_SEQ_EVENT_PORT_START &&
            snd_seq_get_any_port_info(Seq, event->data.addr.client, event->data.addr.port, port) >= 0) {
          ConnectIfHardwareSource(port);
        }
      }
    }
  }

  snd_seq_t* Seq;
  int Own = -1;
  int StopFd = -1;
  snd_seq_addr_t Target{};
  std::thread Worker;
};

class RtMidiPortOn final : public MidiPort {
 public:
  std::unique_ptr<RtMidiIn> In;
  std::unique_ptr<JackPatch> Jack;
  std::unique_ptr<AlsaPatch> Alsa;
  ~RtMidiPortOn() override {
    // No connection is made to a port that goes.
    Jack.reset();
    Alsa.reset();
    In.reset();
  }
};

std::unique_ptr<MidiPort> OpenAlsa(AudioEventQueue& queue, std::string& reason) {
  if (!AlsaSequencerPresent()) {
    reason = "no ALSA sequencer (/dev/snd/seq)";
    return nullptr;
  }
  auto port = std::make_unique<RtMidiPortOn>();
  port->In = OpenRtMidiPort(RtMidi::LINUX_ALSA, queue, reason);
  if (!port->In) return nullptr;
  port->Alsa = AlsaPatch::Open();
  if (port->Alsa) port->Alsa->Start();
  return port;
}

std::unique_ptr<MidiPort> OpenJack(AudioEventQueue& queue, std::string& reason) {
  auto port = std::make_unique<RtMidiPortOn>();
  port->Jack = JackPatch::Open();
  if (!port->Jack) {
    reason = "no JACK server is running";
    return nullptr;
  }
  port->In = OpenRtMidiPort(RtMidi::UNIX_JACK, queue, reason);
  if (!port->In) return nullptr;
  port->Jack->Start(std::string(kClientName) + ":" + kPortName);
  return port;
}

#endif  // SORVANE_HAVE_RTMIDI

}  // namespace

std::unique_ptr<MidiPort> OpenMidiPort(const char* value, AudioEventQueue& queue, MidiSystem& system,
                                       std::string& message) {
  system = MidiSystem::None;
  message.clear();
  const std::string choice = value != nullptr ? value : "";
  if (choice == "none") return nullptr;
  if (!choice.empty() && choice != "alsa" && choice != "jack") {
    message = "sorvane: SORVANE_MIDI=" + choice + " is not alsa, jack or none; running without MIDI input";
    return nullptr;
  }
#if defined(SORVANE_HAVE_RTMIDI)
  std::string alsaReason, jackReason;
  if (choice.empty() || choice == "alsa") {
    if (auto port = OpenAlsa(queue, alsaReason)) {
      system = MidiSystem::Alsa;
      return port;
    }
  }
  if (choice.empty() || choice == "jack") {
    if (auto port = OpenJack(queue, jackReason)) {
      system = MidiSystem::Jack;
      return port;
    }
  }
  if (choice == "alsa") {
    message = "sorvane: no MIDI input: " + alsaReason;
  } else if (choice == "jack") {
    message = "sorvane: no MIDI input: " + jackReason;
  } else {
    message = "sorvane: no MIDI input: " + alsaReason + ", " + jackReason;
  }
  return nullptr;
#else
  (void)queue;
  message = "sorvane: no MIDI input: built without RtMidi";
  return nullptr;
#endif
}

MidiInput::MidiInput(EngineState& engine, QScrollBar* depthBar, AudioEventQueue* queue)
    : Engine(engine), DepthBar(depthBar), Queue(queue) {
  ResetMidiNotes(Notes, kMidiAllChannels);
  if (Queue == nullptr) {
    OwnQueue = std::make_unique<AudioEventQueue>();
    Queue = OwnQueue.get();
    Notifier = std::make_unique<QSocketNotifier>(Queue->WakeFd(), QSocketNotifier::Read);
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { Queue->DispatchAll(Engine); });
  }
  Queue->SetMidiHandler(&MidiInput::OnMidi, this);
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
  MidiMessage(self->Notes, bytes, length, self->Engine.Params.Octave, *self);
}

// As a mouse press and release on the key (KeyMouseDown, KeyMouseUp).
void MidiInput::MidiKeyDown(int32_t key) { KeyNoteOn(Engine, key); }

void MidiInput::MidiKeyUp(int32_t key) { KeyNoteOff(Engine, key); }

// As if the user moved the scroll bar: its change handler sets the depth
// and the label.
void MidiInput::MidiModDepth(int32_t depth) {
  if (DepthBar != nullptr) DepthBar->setValue(depth);
}

}  // namespace sorvane
