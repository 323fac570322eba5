// SPDX-License-Identifier: GPL-3.0-or-later
// The listing of the devices the sound servers offer: a short-lived client
// of each server (libpulse on a main loop of its own, a JACK client that
// closes at once), and the listing as text.
#include <jack/jack.h>
#include <pulse/pulseaudio.h>

#include <string>
#include <vector>

#include "devices/SoundSystem.h"
#include "midi/JackClient.h"

namespace sorvane {

namespace {

// The longest wait for the PulseAudio server, connection and answers
// together.
constexpr pa_usec_t kPulseListTimeoutUs = 2 * PA_USEC_PER_SEC;

// What the PulseAudio server's answers have filled in so far.
struct PulseQuery {
  SoundServerDevices* Devices = nullptr;
  std::string DefaultSource;
  std::string DefaultSink;
  int Pending = 0;
  bool Failed = false;
  bool TimedOut = false;
};

void OnTimeUp(pa_mainloop_api*, pa_time_event*, const timeval*, void* query) {
  static_cast<PulseQuery*>(query)->TimedOut = true;
}

void OnServerInfo(pa_context*, const pa_server_info* info, void* data) {
  auto* query = static_cast<PulseQuery*>(data);
  --query->Pending;
  if (info == nullptr) {
    query->Failed = true;
    return;
  }
  if (info->server_name != nullptr && std::string(info->server_name).find("PipeWire") != std::string::npos) {
    query->Devices->System = "PulseAudio (PipeWire)";
  }
  if (info->default_source_name != nullptr) query->DefaultSource = info->default_source_name;
  if (info->default_sink_name != nullptr) query->DefaultSink = info->default_sink_name;
}

SoundDeviceInfo PulseDevice(const char* name, const char* description) {
  SoundDeviceInfo device;
  device.Name = name != nullptr ? name : "";
  device.Description = description != nullptr ? description : "";
  return device;
}

// One source (Info pa_source_info) or sink (pa_sink_info) added to the
// server's list of them; the call after the last one counts the listing as
// answered.
template <typename Info, std::vector<SoundDeviceInfo> SoundServerDevices::*List>
void OnDeviceInfo(pa_context*, const Info* info, int last, void* data) {
  auto* query = static_cast<PulseQuery*>(data);
  if (last != 0) {
    --query->Pending;
    query->Failed = query->Failed || last < 0;
    return;
  }
  (query->Devices->*List).push_back(PulseDevice(info->name, info->description));
}

void MarkDefault(std::vector<SoundDeviceInfo>& devices, const std::string& name) {
  for (SoundDeviceInfo& device : devices) device.IsDefault = device.Name == name;
}

SoundServerDevices ListPulseDevices() {
  SoundServerDevices devices;
  devices.System = "PulseAudio";
  pa_mainloop* loop = pa_mainloop_new();
  if (loop == nullptr) {
    devices.Problem = "cannot start libpulse's main loop";
    return devices;
  }
  pa_mainloop_api* api = pa_mainloop_get_api(loop);
  PulseQuery query;
  query.Devices = &devices;
  timeval deadline{};
  pa_timeval_add(pa_gettimeofday(&deadline), kPulseListTimeoutUs);
  pa_time_event* timer = api->time_new(api, &deadline, &OnTimeUp, &query);
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Sorvane");
  pa_context* context = pa_context_new_with_proplist(api, "Sorvane", props);
  pa_proplist_free(props);
  // Runs the loop until done() holds, the context fails or time is up.
  auto runUntil = [&](auto done) {
    while (!done() && !query.TimedOut && PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
      if (pa_mainloop_iterate(loop, 1, nullptr) < 0) break;
    }
    return done();
  };
  if (context == nullptr) {
    devices.Problem = "cannot make a client context";
  } else if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    devices.Problem = pa_strerror(pa_context_errno(context));
  } else if (!runUntil([&] { return pa_context_get_state(context) == PA_CONTEXT_READY; })) {
    devices.Problem = query.TimedOut ? "the server does not answer" : pa_strerror(pa_context_errno(context));
  } else {
    pa_operation* operations[] = {
        pa_context_get_server_info(context, &OnServerInfo, &query),
        pa_context_get_source_info_list(context, &OnDeviceInfo<pa_source_info, &SoundServerDevices::Inputs>, &query),
        pa_context_get_sink_info_list(context, &OnDeviceInfo<pa_sink_info, &SoundServerDevices::Outputs>, &query),
    };
    for (pa_operation* operation : operations) {
      if (operation == nullptr) {
        query.Failed = true;
        continue;
      }
      ++query.Pending;
      pa_operation_unref(operation);
    }
    if (!runUntil([&] { return query.Pending == 0; }) || query.Failed) {
      devices.Problem = query.TimedOut ? "the server does not answer" : pa_strerror(pa_context_errno(context));
      devices.Inputs.clear();
      devices.Outputs.clear();
    } else {
      devices.Reachable = true;
      MarkDefault(devices.Inputs, query.DefaultSource);
      MarkDefault(devices.Outputs, query.DefaultSink);
    }
  }
  if (context != nullptr) {
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
  api->time_free(timer);
  pa_mainloop_free(loop);
  return devices;
}

// The physical audio ports with the flag given (JackPortIsOutput: capture),
// the first marked as the default, as the devices connect to it.
std::vector<SoundDeviceInfo> PhysicalJackPorts(jack_client_t* client, unsigned long direction) {
  std::vector<SoundDeviceInfo> devices;
  const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | direction);
  if (names == nullptr) return devices;
  std::vector<char> aliasArea(2 * static_cast<size_t>(jack_port_name_size()));
  char* aliases[2] = {aliasArea.data(), aliasArea.data() + aliasArea.size() / 2};
  for (const char** name = names; *name != nullptr; ++name) {
    SoundDeviceInfo device;
    device.Name = *name;
    device.Description = *name;
    jack_port_t* port = jack_port_by_name(client, *name);
    if (port != nullptr && jack_port_get_aliases(port, aliases) > 0) device.Description = aliases[0];
    device.IsDefault = devices.empty();
    devices.push_back(std::move(device));
  }
  jack_free(names);
  return devices;
}

SoundServerDevices ListJackDevices() {
  SoundServerDevices devices;
  devices.System = "JACK";
  jack_client_t* client;
  {
    const JackMessagesSilenced quiet;  // no server: the listing says it in one line
    jack_status_t status;
    client = jack_client_open("Sorvane devices", JackNoStartServer, &status);
  }
  if (client == nullptr) {
    devices.Problem = "no JACK server is running";
    return devices;
  }
  devices.Reachable = true;
  devices.Inputs = PhysicalJackPorts(client, JackPortIsOutput);
  devices.Outputs = PhysicalJackPorts(client, JackPortIsInput);
  jack_client_close(client);
  return devices;
}

void FormatDevices(std::string& text, const char* heading, const std::vector<SoundDeviceInfo>& devices) {
  text += heading;
  if (devices.empty()) text += " none";
  text += '\n';
  for (const SoundDeviceInfo& device : devices) {
    text += device.IsDefault ? "* " : "  ";
    text += device.Name;
    if (!device.Description.empty() && device.Description != device.Name) {
      text += "  (" + device.Description + ")";
    }
    text += '\n';
  }
}

}  // namespace

std::vector<SoundServerDevices> ListSoundDevices() { return {ListPulseDevices(), ListJackDevices()}; }

std::string FormatSoundDevices(const std::vector<SoundServerDevices>& servers) {
  std::string text;
  for (const SoundServerDevices& server : servers) {
    if (!text.empty()) text += '\n';
    text += server.System;
    if (!server.Reachable) {
      text += ": not reachable: " + server.Problem + "\n";
      continue;
    }
    text += ":\n";
    FormatDevices(text, " inputs:", server.Inputs);
    FormatDevices(text, " outputs:", server.Outputs);
  }
  return text;
}

}  // namespace sorvane
