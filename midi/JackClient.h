// SPDX-License-Identifier: GPL-3.0-or-later
// What the program's JACK clients share (the sound devices' client, the
// MIDI input's own and the device listing's): libjack's messages silenced
// where the caller says it once, and the wait for a process thread to end
// after the server has gone.
#pragma once

#include <sys/types.h>

namespace sorvane {

// libjack's error and info messages are dropped while this lives: a failed
// open (no server) prints several lines of libjack's own, and a client freed
// after its server has gone complains once per step; the caller says it in
// one line. libjack keeps one such function for the whole process, so the
// program's own, one line on stderr per message, is put back at the end.
class JackMessagesSilenced {
 public:
  JackMessagesSilenced();
  ~JackMessagesSilenced();
  JackMessagesSilenced(const JackMessagesSilenced&) = delete;
  JackMessagesSilenced& operator=(const JackMessagesSilenced&) = delete;
};

// When the server goes, libjack tells the shutdown callback from its
// notification thread while the client's process thread (thread id tid, as
// gettid gives it in the thread-init callback; 0: it never ran) may still
// be ending on its own. A client closed in that moment can wait forever on
// a lock the ending thread held, so the closer first waits here until the
// thread is gone: at most a second; it takes a few milliseconds at most.
void AwaitJackThreadEnd(pid_t tid);

}  // namespace sorvane
