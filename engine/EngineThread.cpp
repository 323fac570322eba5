// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/EngineThread.h"

#include <pthread.h>

#include "audio/EventQueue.h"
#include "audio/Realtime.h"
#include "engine/Engine.h"

namespace sorvane {

void EngineThread::Start(EngineState& engine, AudioEventQueue& queue) {
  if (Thread.joinable()) return;
  StopAsked.store(false, std::memory_order_relaxed);
  Thread = std::thread([this, &engine, &queue] { Run(engine, queue); });
}

void EngineThread::Stop() {
  if (!Thread.joinable()) return;
  StopAsked.store(true, std::memory_order_relaxed);
  Thread.join();
}

void EngineThread::Run(EngineState& engine, AudioEventQueue& queue) {
  pthread_setname_np(pthread_self(), "sorvane-engine");
  RequestRealtimeOrReport();
  while (!StopAsked.load(std::memory_order_relaxed)) {
    if (queue.Wait(kStopPollMs)) queue.DispatchAll(EngineEvents(engine));
  }
}

}  // namespace sorvane
