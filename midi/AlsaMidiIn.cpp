// SPDX-License-Identifier: GPL-3.0-or-later
// The ALSA sequencer MIDI input port: the receiving thread that decodes
// events into the event queue and connects hardware sources as they start.
#include "midi/AlsaMidiIn.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "audio/EventQueue.h"
#include "midi/MidiPort.h"

namespace sorvane {

namespace {

// The sequencer has one descriptor for input; room for a few more.
constexpr int kMaxSequencerFds = 7;
// The longest channel message is 3 bytes; a longer decode is not posted.
constexpr size_t kDecodeBytes = 16;

}  // namespace

bool AlsaMidiIn::Open(std::string& reason) {
  // libasound reports a missing device on stderr itself; the caller prints
  // one line instead.
  if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
    reason = "no ALSA sequencer (/dev/snd/seq)";
    return false;
  }
  if (snd_seq_open(&Seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
    Seq = nullptr;
    reason = "the ALSA sequencer could not be opened";
    return false;
  }
  snd_seq_set_client_name(Seq, kMidiClientName);
  Client = snd_seq_client_id(Seq);
  Port = snd_seq_create_simple_port(Seq, kMidiPortName, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                    SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  StopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (Port < 0 || StopFd < 0 || snd_midi_event_new(kDecodeBytes, &Decoder) < 0) {
    reason = "the ALSA sequencer port could not be created";
    Close();
    return false;
  }
  // Every message starts with its status byte: the queue's messages stand
  // alone, so no running status.
  snd_midi_event_no_status(Decoder, 1);
  // Announcements first, then the sources there are: none is missed, and
  // one that starts in between is only connected twice, which fails
  // harmlessly.
  snd_seq_connect_from(Seq, Port, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);
  snd_seq_client_info_t* client;
  snd_seq_port_info_t* port;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(Seq, client) >= 0) {
    snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(Seq, port) >= 0) ConnectIfHardwareSource(port);
  }
  Receiver = std::thread([this] { Run(); });
  return true;
}

void AlsaMidiIn::Close() {
  if (Receiver.joinable()) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(StopFd, &one, sizeof one);
    Receiver.join();
  }
  if (StopFd >= 0) close(StopFd);
  if (Decoder != nullptr) snd_midi_event_free(Decoder);
  if (Seq != nullptr) snd_seq_close(Seq);
  StopFd = -1;
  Decoder = nullptr;
  Seq = nullptr;
  Client = -1;
  Port = -1;
}

void AlsaMidiIn::Run() {
  const int count = snd_seq_poll_descriptors_count(Seq, POLLIN);
  if (count <= 0 || count > kMaxSequencerFds) return;
  pollfd fds[kMaxSequencerFds + 1];
  snd_seq_poll_descriptors(Seq, fds, static_cast<unsigned>(count), POLLIN);
  fds[count] = pollfd{StopFd, POLLIN, 0};
  snd_seq_port_info_t* scratch;
  snd_seq_port_info_alloca(&scratch);
  for (;;) {
    if (poll(fds, static_cast<nfds_t>(count + 1), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[count].revents != 0) return;
    for (;;) {
      snd_seq_event_t* event = nullptr;
      const int result = snd_seq_event_input(Seq, &event);
      // -ENOSPC: the kernel's queue overran and events were lost; the
      // ones after them still come.
      if (result == -ENOSPC) continue;
      if (result < 0) break;
      if (event != nullptr) OnEvent(*event, scratch);
    }
  }
}

void AlsaMidiIn::OnEvent(const snd_seq_event_t& event, snd_seq_port_info_t* scratch) {
  switch (event.type) {
    case SND_SEQ_EVENT_PORT_START:
      if (event.source.client == SND_SEQ_CLIENT_SYSTEM &&
          snd_seq_get_any_port_info(Seq, event.data.addr.client, event.data.addr.port, scratch) >= 0) {
        ConnectIfHardwareSource(scratch);
      }
      return;
    case SND_SEQ_EVENT_PORT_UNSUBSCRIBED:
      // A source unplugged or disconnected: after its last message, which
      // came before this announcement.
      if (event.source.client == SND_SEQ_CLIENT_SYSTEM && event.data.connect.dest.client == Client &&
          event.data.connect.dest.port == Port) {
        ForwardSourceGone(Queue);
      }
      return;
    case SND_SEQ_EVENT_SYSEX: return;  // never posted; it would not fit the decode buffer either
    default: break;
  }
  // Announcements and other non-MIDI events do not decode (negative).
  uint8_t bytes[kDecodeBytes];
  const long length = snd_midi_event_decode(Decoder, bytes, sizeof bytes, &event);
  if (length > 0) ForwardMidiMessage(Queue, bytes, static_cast<size_t>(length));
}

void AlsaMidiIn::ConnectIfHardwareSource(const snd_seq_port_info_t* source) {
  const snd_seq_addr_t* address = snd_seq_port_info_get_addr(source);
  if (address->client == Client || address->client == SND_SEQ_CLIENT_SYSTEM) return;
  const unsigned caps = snd_seq_port_info_get_capability(source);
  const unsigned type = snd_seq_port_info_get_type(source);
  const unsigned readable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
  if ((type & SND_SEQ_PORT_TYPE_HARDWARE) == 0 || (caps & readable) != readable ||
      (caps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0) {
    return;
  }
  snd_seq_addr_t target{};
  target.client = static_cast<unsigned char>(Client);
  target.port = static_cast<unsigned char>(Port);
  snd_seq_port_subscribe_t* subscription;
  snd_seq_port_subscribe_alloca(&subscription);
  snd_seq_port_subscribe_set_sender(subscription, address);
  snd_seq_port_subscribe_set_dest(subscription, &target);
  snd_seq_subscribe_port(Seq, subscription);  // already connected: fails, nothing to do
}

}  // namespace sorvane
