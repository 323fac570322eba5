#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A JACK client with a hardware-like MIDI source for the live MIDI tests.

Registers a physical MIDI output port after the program has started, waits
until the program has connected it to its input by itself, then sends note
60 at VELOCITY (100 when not given), the modulation wheel and, when given,
the pitch bend BEND (-8192..8191); sends a full bend up when the file "bend"
appears in the work folder (and writes "bent"), the note-off when "release"
appears, and ends when "quit" appears.

usage: midi_sender.py SERVER TARGET_PORT WORKDIR [VELOCITY [BEND]]
"""
import os
import sys
import threading
import time

import jack

server, target, workdir = sys.argv[1:4]
velocity = int(sys.argv[4]) if len(sys.argv) > 4 else 100
bend = int(sys.argv[5]) if len(sys.argv) > 5 else None
client = jack.Client("midi-sender", servername=server, no_start_server=True)
port = client.midi_outports.register("keys", is_physical=True)
pending = []
lock = threading.Lock()


@client.set_process_callback
def process(frames):
    port.clear_buffer()
    with lock:
        while pending:
            port.write_midi_event(0, pending.pop(0))


def send(*messages):
    with lock:
        pending.extend(bytes(m) for m in messages)


def bend_message(value):
    value += 8192
    return [0xE0, value & 0x7F, value >> 7]


def wait_for(name, seconds=60):
    deadline = time.time() + seconds
    while not os.path.exists(os.path.join(workdir, name)):
        if time.time() > deadline:
            sys.exit("midi_sender: no " + name)
        time.sleep(0.02)


with client:
    deadline = time.time() + 30
    while not any(p.name == target for p in client.get_all_connections(port)):
        if time.time() > deadline:
            sys.exit("midi_sender: the program did not connect " + port.name + " to " + target)
        time.sleep(0.02)
    open(os.path.join(workdir, "connected"), "w").close()
    send([0x90, 60, velocity], [0xB0, 1, 127])
    if bend is not None:
        send(bend_message(bend))
    # A full bend up when asked, until the release.
    deadline = time.time() + 120
    while not os.path.exists(os.path.join(workdir, "release")):
        if os.path.exists(os.path.join(workdir, "bend")) and not os.path.exists(os.path.join(workdir, "bent")):
            send(bend_message(8191))
            open(os.path.join(workdir, "bent"), "w").close()
        if time.time() > deadline:
            sys.exit("midi_sender: no release")
        time.sleep(0.02)
    send([0x80, 60, 0])
    wait_for("quit")
