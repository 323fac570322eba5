// SPDX-License-Identifier: GPL-3.0-or-later
// The sound card through the PulseAudio protocol (PulseAudio itself, or
// PipeWire through its PulseAudio server), with libpulse: one connection
// (a threaded main loop and a context) shared by a capture device and a
// playback device, each a stream of its own at 22050 Hz, mono, S16LE, on
// the server's default source and sink (so PULSE_SOURCE and PULSE_SINK
// still choose) or on the device named.
//
// The mixer shows both streams under the application "Sorvane" with its
// icon and the role "production": "Voice in" on the source, "Song out" on
// the sink. Buffer sizes are asked of the server per stream, never through
// the environment: capture fragments of two blocks (20 ms); a playback
// target of 40 ms, requests of 20 ms and playback that starts with the
// first request. On PipeWire these let the graph run at a longer period.
// In the low-latency mode: capture fragments of half a block, a playback
// target of one block and requests of half a block.
//
// Buffers stay owned by the caller and pass through a BufferQueue, which
// holds the queue rules. The streams' read and write callbacks run on the
// main loop's thread: they hand the queue the frames captured or ask it for
// the frames to play, with the stream's own times, and each buffer it
// completes is posted to the AudioEventQueue. They never allocate, log or
// wait. Everything else runs on the engine's thread with the main loop's
// lock held, so that no callback runs meanwhile.
//
// Playback runs from Open and plays silence whenever no buffer is queued
// (an underrun is not an error); a buffer is done once its last sample has
// been played by the stream's clock. Capture runs from Start() until Reset()
// or Close(); input that arrives while no buffer is queued is counted and
// discarded.
//
// Times: WaveHeader::FirstSampleAtUs of every buffer a stream completes is
// when its first sample was sampled (capture) or is played (playback), in
// microseconds of the monotonic clock both devices share, from the stream's
// own latency: an output buffer's time minus that of the capture buffer it
// was made from is the input-to-output delay.
//
// Reset() hands every queued buffer back at once, oldest first, and empties
// the stream (capture stops until Start(); playback plays on, silent until
// the next buffer). Close() does the same and disconnects the stream. Both
// only ask the server and never wait for it, so a server that has gone away
// cannot hang them. Making the system and Open wait for the server two
// seconds at most, and once in all for a server that never answers (Open
// then fails at once); when Open fails it prints one line on stderr with
// the server's reason.
#pragma once

#include <memory>

#include "devices/SoundSystem.h"

namespace sorvane {

// The PulseAudio client. captureDevice and playbackDevice name a source and
// a sink; null is the server's default (or PULSE_SOURCE, PULSE_SINK).
// latency Low asks for fragments, target and requests of about one block.
// cancelFd (SoundOptions::CancelFd) ends every wait for the server once it
// is readable.
std::unique_ptr<SoundSystem> MakePulseSoundSystem(AudioEventQueue& events, const char* captureDevice = nullptr,
                                                  const char* playbackDevice = nullptr,
                                                  LatencyMode latency = LatencyMode::Normal, int cancelFd = -1);

}  // namespace sorvane
