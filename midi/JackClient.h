// SPDX-License-Identifier: GPL-3.0-or-later
// What the program's JACK clients share (the sound devices' client and the
// MIDI input's own): libjack's messages silenced or on stderr, and the wait
// for a process thread to end after the server has gone.
#pragma once

#include <sys/types.h>

namespace sorvane {

// For jack_set_error_function and jack_set_info_function, which libjack
// keeps once for the whole process: nothing, or one line on stderr.
void JackSilent(const char* text);
void JackToStderr(const char* text);

// When the server goes, libjack tells the shutdown callback from its
// notification thread while the client's process thread (thread id tid, as
// gettid gives it in the thread-init callback; 0: it never ran) may still
// be ending on its own. A client closed in that moment can wait forever on
// a lock the ending thread held, so the closer first waits here until the
// thread is gone: at most a second; it takes a few milliseconds at most.
void AwaitJackThreadEnd(pid_t tid);

}  // namespace sorvane
