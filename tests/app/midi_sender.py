#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A JACK client with a hardware-like MIDI source for the live MIDI test.

Registers a physical MIDI output port after the program has started, waits
until the program has connected it to its input by itself, then sends note
60 softly (velocity 20), the modulation wheel and a pitch bend halfway
down (-4096); sends the note-off when the file "release"
appears in the work folder and ends when "quit" appears.

usage: midi_sender.py SERVER TARGET_PORT WORKDIR
"""
import os
import sys
import threading
import time

import jack

server, target, workdir = sys.argv[1:4]
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
    send([0x90, 60, 20], [0xB0, 1, 127], [0xE0, 0x00, 0x20])
    wait_for("release")
    send([0x80, 60, 0])
    wait_for("quit")
