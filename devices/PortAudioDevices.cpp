// SPDX-License-Identifier: GPL-3.0-or-later
// PortAudio streams behind the engine's device interface: one input-only
// stream for capture and one output-only stream for playback, each with its
// own BufferQueue. See PortAudioDevices.h for the
// behaviour; this file holds the mechanics and the callbacks.
#include "devices/PortAudioDevices.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

namespace sorvane {

namespace {

// Half a 10-ms block per callback. PortAudio's ALSA path keeps at least two
// callbacks' worth of frames in each direction, so half blocks halve what the
// devices add to the delay (10 ms a side instead of 20); the rings move any
// number of frames, so a buffer simply completes every second callback.
constexpr unsigned long kFramesPerCallback = kBlockSamples / 2;
// Buffering asked of the sound servers when the user has not chosen any:
// PulseAudio's client buffers (read by libpulse when a stream connects, so
// also by the ALSA pulse plugin that PortAudio reaches it through; PipeWire's
// PulseAudio server honours them too) and the node latency of PipeWire's own
// clients (its ALSA plugin). PulseAudio's buffers stay at 20 ms: with 10 ms
// the stream underflowed and, on a busy machine, its restarts after each
// underflow fell so far behind that playback nearly stopped (nine blocks of
// ten dropped); 20 ms held there, and cost no delay, since a playback buffer
// counts as queued until it has been played. PipeWire's graph must run in
// quanta well below a callback (110 frames): at 128 frames its ALSA plugin
// took only 110 frames a quantum from our playback stream, which then played
// at three quarters of real time and underflowed all the time; at 64 or 32
// frames it plays on time.
constexpr const char* kPulseLatencyMs = "20";
constexpr const char* kPipeWireLatency = "64/22050";
// A running stream whose callback has not run for this long is taken for
// wedged when it is to be stopped. The callback runs every 5 ms; PortAudio
// 19.6's ALSA path, when PipeWire goes away under a stream, can leave the
// stream's thread looping for ever on a failed check of its own, with
// cancellation off, so that stopping or closing the stream (and
// Pa_Terminate, which closes it) waits for that thread without end.
constexpr double kStuckStreamSeconds = 1.0;

// ALSA's and JACK's message hooks. They are looked up at run time in the
// libraries PortAudio already loaded, so a PortAudio built without one of
// them needs nothing more.
using AlsaErrorHandler = void (*)(const char* file, int line, const char* function, int err,
                                  const char* fmt, ...);
using AlsaSetErrorHandler = int (*)(AlsaErrorHandler);
using JackMessageHandler = void (*)(const char* message);
using JackSetMessageHandler = void (*)(JackMessageHandler);

void AlsaQuiet(const char*, int, const char*, int, const char*, ...) {}
void JackQuiet(const char*) {}

// For the rest of the process, ALSA and JACK messages are dropped: the
// program keeps no log, and the only ones it would see are the probes'
// complaints about cards and servers that are not there.
void SilenceAudioLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (auto set = reinterpret_cast<AlsaSetErrorHandler>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler"))) {
      set(&AlsaQuiet);
    }
    if (auto set = reinterpret_cast<JackSetMessageHandler>(dlsym(RTLD_DEFAULT, "jack_set_error_function"))) {
      set(&JackQuiet);
    }
    if (auto set = reinterpret_cast<JackSetMessageHandler>(dlsym(RTLD_DEFAULT, "jack_set_info_function"))) {
      set(&JackQuiet);
    }
  });
}

// While alive, stderr (fd 2) goes to /dev/null. PortAudio prints its own
// diagnostics there when opening, starting or stopping a stream fails (the
// caller reports the failure itself), and the ALSA and JACK probes print
// before their message hooks can take over. Used only around those calls on
// the thread that drives the devices, for a few milliseconds at a time.
class QuietStderr {
 public:
  QuietStderr() {
    std::fflush(stderr);
    SavedStderr = dup(STDERR_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (SavedStderr >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~QuietStderr() {
    std::fflush(stderr);
    if (SavedStderr >= 0) {
      dup2(SavedStderr, STDERR_FILENO);
      close(SavedStderr);
    }
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int SavedStderr = -1;
};

// One line on stderr when a device cannot be opened, with PortAudio's own
// reason (for example a JACK server at another rate), so that the user can
// act on it; the error box the engine shows says only which side failed.
void ReportOpenFailure(bool capture, const PaDeviceInfo* info, double rate, const char* reason) {
  const char* kind = capture ? "capture" : "playback";
  std::string device = std::string("a ") + kind + " device";
  if (info != nullptr) {
    device = std::string("the ") + kind + " device \"" + info->name + "\"";
    if (const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi)) device += std::string(" (") + host->name + ")";
  }
  std::fprintf(stderr, "%s: cannot open %s at %.0f Hz, mono, 16-bit: %s\n", program_invocation_short_name,
               device.c_str(), rate, reason);
}

// PortAudio's text for err; for a host error, the host's own message too.
std::string ErrorText(PaError err) {
  std::string text = Pa_GetErrorText(err);
  if (err == paUnanticipatedHostError) {
    const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
    if (host != nullptr && host->errorText != nullptr && host->errorText[0] != '\0') {
      text += ": ";
      text += host->errorText;
    }
  }
  return text;
}

uintptr_t Microseconds(double seconds) { return static_cast<uintptr_t>(seconds * 1e6); }

// PortAudio's stream times (s) on the buffer queue's clock (µs).
int64_t StreamMicros(double seconds) { return static_cast<int64_t>(seconds * 1e6); }

// Steady clock in ns; clock_gettime reads it without a lock or a system
// call, so the callback may too.
int64_t SteadyNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Set once a wedged stream has been left to PortAudio; Pa_Terminate would
// wait for its thread.
std::atomic<bool> StreamLeftBehind{false};

// Whether PortAudio's JACK host API holds a client of a JACK server that no
// longer runs. The host API is there only when a server ran at
// Pa_Initialize; a probe client of the same server (JACK_DEFAULT_SERVER)
// then shows whether it still runs. libjack's functions are looked up in the
// library PortAudio loaded, as the message hooks are.
bool JackServerGone() {
  if (Pa_HostApiTypeIdToHostApiIndex(paJACK) < 0) return false;
  using JackClientOpen = void* (*)(const char* name, int options, int* status, ...);
  using JackClientClose = int (*)(void* client);
  auto open = reinterpret_cast<JackClientOpen>(dlsym(RTLD_DEFAULT, "jack_client_open"));
  auto close = reinterpret_cast<JackClientClose>(dlsym(RTLD_DEFAULT, "jack_client_close"));
  if (open == nullptr || close == nullptr) return false;
  constexpr int kJackNoStartServer = 0x01;
  int status = 0;
  void* probe = open("sorvane-probe", kJackNoStartServer, &status);
  if (probe == nullptr) return true;
  close(probe);
  return false;
}

using VfprintfFunction = int (*)(FILE*, const char*, va_list);

// The C library's vfprintf, or whatever other library's the program loaded
// before it.
VfprintfFunction NextVfprintf() {
  static const auto next = reinterpret_cast<VfprintfFunction>(dlsym(RTLD_NEXT, "vfprintf"));
  return next;
}

}  // namespace
}  // namespace sorvane

// PortAudio prints each of its internal checks that fails as a line
// "Expression '...' failed in '...', line: N" on stderr, through vfprintf.
// The program keeps no log, and one such check in PortAudio 19.6's ALSA
// path, once PipeWire has gone away under a stream, fails in an endless loop
// (see kStuckStreamSeconds): hundreds of megabytes a minute, from the moment
// the server goes. This definition stands in for the C library's vfprintf
// in the libraries the program loads (a symbol of the executable comes
// first), drops those lines and passes everything else on. A check failing
// over and over on one thread would still keep a core busy for as long as
// the process lives, so from its hundredth repeat in a row each waits 10 ms.
// The assembler name keeps it apart from the C library's declaration, which
// may be an inline wrapper.
extern "C" int SorvaneVfprintf(FILE* stream, const char* format, va_list args) __asm__("vfprintf");
extern "C" int SorvaneVfprintf(FILE* stream, const char* format, va_list args) {
  if (stream == stderr && format != nullptr && std::strncmp(format, "Expression '", 12) == 0 &&
      std::strstr(format, "' failed in '") != nullptr) {
    thread_local const char* last = nullptr;
    thread_local unsigned repeats = 0;
    repeats = format == last ? repeats + 1 : 0;
    last = format;
    if (repeats >= 100) usleep(10000);
    return 0;
  }
  const sorvane::VfprintfFunction next = sorvane::NextVfprintf();
  if (next == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  return next(stream, format, args);
}

namespace sorvane {

PortAudioSystem::PortAudioSystem() {
  // Probing the JACK host API would otherwise start a JACK server when none
  // runs. A user who wants that can still set the variable to 0.
  setenv("JACK_NO_START_SERVER", "1", 0);
  // Low-latency buffering, unless the user asked for other values.
  setenv("PULSE_LATENCY_MSEC", kPulseLatencyMs, 0);
  setenv("PIPEWIRE_LATENCY", kPipeWireLatency, 0);
  SilenceAudioLibraries();
  NextVfprintf();  // looked up now, not first on a stream's thread
  QuietStderr quiet;
  Initialised = Pa_Initialize() == paNoError;
}

PortAudioSystem::~PortAudioSystem() {
  if (Initialised) {
    QuietStderr quiet;
    // PortAudio would fail an assertion closing its client of a JACK server
    // that has gone since, and abort the program at its very end. The
    // process is ending: PortAudio is then left as it is. So too when a
    // wedged stream was left to it.
    if (JackServerGone() || StreamLeftBehind.load(std::memory_order_relaxed)) return;
    Pa_Terminate();
  }
}

PortAudioDevice::PortAudioDevice(DeviceKind kind, AudioEventQueue& events)
    : DeviceKindValue(kind),
      Events(events),
      Buffers(kind == DeviceKind::Capture ? BufferQueueKind::Capture : BufferQueueKind::Playback,
              &PortAudioDevice::BufferDone, this) {}

void PortAudioDevice::BufferDone(void* self, WaveHeader& header) {
  auto* device = static_cast<PortAudioDevice*>(self);
  device->Events.Post(device->DeviceKindValue, &header);
}

PortAudioDevice::~PortAudioDevice() {
  // Buffers still queued here are not reported: whoever would handle the
  // events is going away with the device. A wedged stream is left as it is.
  if (Stream != nullptr && !Abandoned) {
    QuietStderr quiet;
    if (Pa_IsStreamStopped(Stream) == 0) Pa_AbortStream(Stream);
    Pa_CloseStream(Stream);
    Stream = nullptr;
  }
}

bool PortAudioDevice::Open(const WaveFormat& format) {
  if (Stream != nullptr) return false;
  if (format.FormatTag != 1 || format.Channels != 1 || format.BitsPerSample != 16 ||
      format.SamplesPerSec == 0) {
    return false;
  }
  const bool capture = DeviceKindValue == DeviceKind::Capture;
  const double rate = static_cast<double>(format.SamplesPerSec);
  // paNoDevice also when PortAudio is not initialised or no server answers.
  const PaDeviceIndex device = capture ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
  const PaDeviceInfo* info = device != paNoDevice ? Pa_GetDeviceInfo(device) : nullptr;
  if (info == nullptr) {
    const PaDeviceIndex count = Pa_GetDeviceCount();  // an error code when not initialised
    ReportOpenFailure(capture, nullptr, rate,
                      count < 0    ? Pa_GetErrorText(count)
                      : count == 0 ? "PortAudio finds no sound device"
                      : capture    ? "there is no default input device"
                                   : "there is no default output device");
    return false;
  }

  // The lowest latency the host API offers: PortAudio rounds a suggestion
  // below its minimum up to that minimum (two callbacks on ALSA). JACK runs
  // at its server's period and adds a buffer whenever the callback size
  // differs from it, so on JACK the callback takes the period as it comes.
  const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
  const bool jack = host != nullptr && host->type == paJACK;
  const unsigned long framesPerCallback = jack ? paFramesPerBufferUnspecified : kFramesPerCallback;
  PaStreamParameters params{};
  params.device = device;
  params.channelCount = 1;
  params.sampleFormat = paInt16;
  params.suggestedLatency = static_cast<double>(kFramesPerCallback) / format.SamplesPerSec;
  params.hostApiSpecificStreamInfo = nullptr;

  PaStream* stream = nullptr;
  PaError err = paNoError;
  auto door = std::make_unique<CallbackDoor>();
  door->Device = this;
  {
    QuietStderr quiet;
    err = Pa_OpenStream(&stream, capture ? &params : nullptr, capture ? nullptr : &params, rate,
                        framesPerCallback, paClipOff | paDitherOff, &PortAudioDevice::Callback, door.get());
    if (err == paNoError && stream != nullptr) {
      Buffers.SetSampleRate(format.SamplesPerSec);
      LastCallbackNs.store(SteadyNs(), std::memory_order_relaxed);
      // Playback runs from here on, playing silence until buffers come.
      if (!capture) {
        err = Pa_StartStream(stream);
        if (err != paNoError) Pa_CloseStream(stream);
      }
    }
  }
  if (err != paNoError || stream == nullptr) {
    ReportOpenFailure(capture, info, rate, ErrorText(err != paNoError ? err : paInternalError).c_str());
    return false;
  }
  Stream = stream;
  Door = std::move(door);
  return true;
}

bool PortAudioDevice::Prepare(WaveHeader& header) { return Buffers.Prepare(header); }

bool PortAudioDevice::Unprepare(WaveHeader& header) { return Buffers.Unprepare(header); }

bool PortAudioDevice::Queue(WaveHeader& header) {
  if (Stream == nullptr || Abandoned) return false;
  if (!Buffers.Accepts(header)) return false;
  // A playback stream stopped by a reset plays again from its next buffer.
  if (DeviceKindValue == DeviceKind::Playback && Pa_IsStreamStopped(Stream) == 1) {
    QuietStderr quiet;
    LastCallbackNs.store(SteadyNs(), std::memory_order_relaxed);
    if (Pa_StartStream(Stream) != paNoError) return false;
  }
  return Buffers.Queue(header);
}

bool PortAudioDevice::Start() {
  if (Stream == nullptr || Abandoned) return false;
  if (Pa_IsStreamStopped(Stream) == 0) return true;
  QuietStderr quiet;
  LastCallbackNs.store(SteadyNs(), std::memory_order_relaxed);
  return Pa_StartStream(Stream) == paNoError;
}

bool PortAudioDevice::Reset() {
  if (Stream == nullptr) return false;
  return StopAndReturnAll();
}

bool PortAudioDevice::Close() {
  if (Stream == nullptr) return false;
  const bool returned = StopAndReturnAll();
  if (Abandoned) {
    Stream = nullptr;
    Abandoned = false;
    return returned;
  }
  QuietStderr quiet;
  const bool closed = Pa_CloseStream(Stream) == paNoError;
  Stream = nullptr;
  Door.reset();
  return returned && closed;
}

bool PortAudioDevice::StopAndReturnAll() {
  // Once the stream is stopped its callback has finished and will not run
  // again, so this thread may take the consumer's side of the ring. A stream
  // that failed on its own (the audio server went away) may refuse to stop
  // but is no longer active. One that is still active and cannot be stopped
  // keeps its buffers rather than have them handed back while its callback
  // may still write them. A wedged one (see kStuckStreamSeconds) is not
  // stopped at all: its callback is shut out instead, which hands the ring
  // to this thread just as well, and the stream is left to PortAudio.
  if (!Abandoned && CallbackStuck()) {
    ShutCallbackOut();
    // The stream keeps its door: freed, it would be read should the
    // callback ever run again.
    static_cast<void>(Door.release());
    Abandoned = true;
    StreamLeftBehind.store(true, std::memory_order_relaxed);
  }
  if (!Abandoned) {
    QuietStderr quiet;
    if (Pa_IsStreamStopped(Stream) == 0 && Pa_AbortStream(Stream) != paNoError &&
        Pa_IsStreamActive(Stream) != 0) {
      return false;
    }
  }
  Buffers.ReturnAll();
  return true;
}

bool PortAudioDevice::CallbackStuck() const {
  const int64_t quiet = SteadyNs() - LastCallbackNs.load(std::memory_order_relaxed);
  return quiet > static_cast<int64_t>(kStuckStreamSeconds * 1e9) && Pa_IsStreamStopped(Stream) == 0 &&
         Pa_IsStreamActive(Stream) == 1;
}

void PortAudioDevice::ShutCallbackOut() {
  // A callback inside finishes within a callback's time; then the door
  // shuts, and the acquire pairs with that callback's release of the ring.
  for (;;) {
    int expected = kGateOpen;
    if (Door->State.compare_exchange_weak(expected, kGateShut, std::memory_order_acquire,
                                           std::memory_order_relaxed) ||
        expected == kGateShut) {
      return;
    }
    std::this_thread::yield();
  }
}

int PortAudioDevice::Callback(const void* input, void* output, unsigned long frames,
                              const PaStreamCallbackTimeInfo* timeInfo, unsigned long statusFlags,
                              void* self) {
  auto* door = static_cast<CallbackDoor*>(self);
  // Shut out: the device is no longer this stream's, and the stream may end.
  int open = kGateOpen;
  if (!door->State.compare_exchange_strong(open, kGateInside, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
    return paAbort;
  }
  PortAudioDevice* device = door->Device;
  device->LastCallbackNs.store(SteadyNs(), std::memory_order_relaxed);
  device->CallbackCount.fetch_add(1, std::memory_order_relaxed);
  device->FrameCount.fetch_add(frames, std::memory_order_relaxed);
  if ((statusFlags & (paInputUnderflow | paInputOverflow | paOutputUnderflow | paOutputOverflow)) != 0) {
    device->StatusFlagCount.fetch_add(1, std::memory_order_relaxed);
  }
  const double latency = device->DeviceKindValue == DeviceKind::Capture
                             ? timeInfo->currentTime - timeInfo->inputBufferAdcTime
                             : timeInfo->outputBufferDacTime - timeInfo->currentTime;
  if (latency > 0) device->LatencyMicros.fetch_add(Microseconds(latency), std::memory_order_relaxed);
  if (device->DeviceKindValue == DeviceKind::Capture) {
    device->Buffers.Capture(static_cast<const int16_t*>(input), static_cast<uint32_t>(frames),
                            StreamMicros(timeInfo->inputBufferAdcTime));
  } else if (timeInfo->currentTime > 0) {
    device->Buffers.Play(static_cast<int16_t*>(output), static_cast<uint32_t>(frames),
                         StreamMicros(timeInfo->currentTime), StreamMicros(timeInfo->outputBufferDacTime));
  } else {
    // A host API without timing gives zeros.
    device->Buffers.PlayUntimed(static_cast<int16_t*>(output), static_cast<uint32_t>(frames));
  }
  door->State.store(kGateOpen, std::memory_order_release);
  return paContinue;
}

PortAudioCounters PortAudioDevice::Counters() const {
  PortAudioCounters c{};
  c.Callbacks = CallbackCount.load(std::memory_order_relaxed);
  c.Frames = FrameCount.load(std::memory_order_relaxed);
  c.IdleFrames = Buffers.IdleFrames();
  c.StatusFlags = StatusFlagCount.load(std::memory_order_relaxed);
  c.BuffersDone = Buffers.BuffersDone();
  c.DeviceLatencyMicros = LatencyMicros.load(std::memory_order_relaxed);
  return c;
}

uint32_t PortAudioDevice::QueuedBuffers() const { return Buffers.Queued(); }

std::unique_ptr<AudioDevice> MakePortAudioCapture(AudioEventQueue& events) {
  return std::make_unique<PortAudioDevice>(DeviceKind::Capture, events);
}

std::unique_ptr<AudioDevice> MakePortAudioPlayback(AudioEventQueue& events) {
  return std::make_unique<PortAudioDevice>(DeviceKind::Playback, events);
}

}  // namespace sorvane
