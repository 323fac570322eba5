// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's own thread: it waits on the event queue and hands every
// device completion event and MIDI message to the engine, one at a time in
// the order they were posted, so that the blocks go on whatever the
// window's thread is doing. It asks for real-time priority, as the sound
// server's own client threads do (one line on stderr where that is not
// allowed). The window's thread calls the engine's other handlers (keys,
// controls, the close) under the engine's lock, between two blocks.
#pragma once

#include <atomic>
#include <thread>

namespace sorvane {

struct EngineState;
class AudioEventQueue;

class EngineThread {
 public:
  EngineThread() = default;
  ~EngineThread() { Stop(); }
  EngineThread(const EngineThread&) = delete;
  EngineThread& operator=(const EngineThread&) = delete;

  // Starts dispatching queue's events to engine; both outlive Stop().
  void Start(EngineState& engine, AudioEventQueue& queue);
  // Returns once the thread has ended (within kStopPollMs); events posted
  // meanwhile stay in the queue. Does nothing when not started.
  void Stop();
  bool Running() const { return Thread.joinable(); }

  // How often the thread looks whether it is to stop while no event comes.
  static constexpr int kStopPollMs = 50;

 private:
  void Run(EngineState& engine, AudioEventQueue& queue);

  std::thread Thread;
  std::atomic<bool> StopAsked{false};
};

}  // namespace sorvane
