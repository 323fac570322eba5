#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Live loopback of sorvane-render --live on a private JACK server.

  jack_loopback_test.py [restart | low | low-sync] RATE PERIOD RENDER WORKDIR

Starts jackd on the dummy driver under a name of its own (stopped by its
process id with SIGTERM, so that JACK's shared registry is freed), runs the
renderer on it with SORVANE_SOUND=jack and a key held by its script, plays a
voice-like pulse train into Sorvane:Voice In from a client of its own and
records Sorvane:Song Out L and R there. Checks that the song sings at the
held key's pitch, that both outputs carry the same samples, the delay the
renderer measured, its xrun counts, and that the Sorvane ports were connected
to the dummy driver's physical ports.

restart: stops the server about 3 s into a longer run and starts it again
under the same name 2 s later; the renderer must come back to it by itself
(its ports wired to the driver's again), the song be heard at the held key's
pitch again soon after the server (within 3 s idle), the --output file be
valid with sound after the gap, and the run end with 0.

low: the same run in the low-latency mode, whose median delay stays, idle,
within 30 ms and within 14 ms more than the ports' latencies, and its 95th
percentile within 10 ms of it.

Every bound on a time is LOADED_MACHINE times the idle figure, so that a
loaded machine cannot fail a run whose correctness checks pass.

low-sync: low, with the server in synchronous mode (-S), where it holds one
period for playback instead of two, as PipeWire's JACK does.

Exit status 0 when every check passes; each failed check is printed.
"""

import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import wave

import jack
import numpy as np

from live_checks import (LOADED_MACHINE, check, check_pitch, failures, finish_render, live_inputs,
                         sounds_around_gap, summary_number)

ENGINE_RATE = 22050
BLOCK = 220
KEY_220HZ = 13  # key index 13 at the default octave sounds 220 Hz
# The delay an idle machine stays within, as in the PulseAudio loopback: the
# queue the rate control keeps plus the server's ports (the medians measured
# on an idle machine are in docs/latency.md).
MAX_DELAY_MS = 125
BLOCKS = 500
# The renderer's --latency: "low" for the low-latency mode.
LATENCY = "normal"
LOW_LATENCY_ENGINE_MS = 14
# The whole delay of the low-latency mode, idle.
LOW_LATENCY_MS = 30
# How long the sound takes to come back after a server restart, idle.
BACK_SECONDS = 3.0
# Extra jackd options before the driver's ("-S" for low-sync).
SERVER_OPTIONS = []


class JackServer:
    """jackd on the dummy driver, under a name only this run uses."""

    def __init__(self, rate, period, workdir):
        # Named after the work folder, not the process: JACK's registry has
        # room for few servers and frees the entry of one that died without
        # saying so only when a server of the same name starts.
        self.name = "sorvane-loopback-" + hashlib.md5(os.path.abspath(workdir).encode()).hexdigest()[:12]
        # Real-time (-R) as a desktop's server, where the machine allows it;
        # jackd runs at normal priority where it does not.
        self.args = ["jackd", "-n", self.name, "-R"] + SERVER_OPTIONS + ["-d", "dummy", "-r", str(rate),
                                                                          "-p", str(period)]
        self.logpath = os.path.join(workdir, "jackd.log")
        self.log = open(self.logpath, "w")
        self.proc = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)

    def restart(self):
        """The same server again, after stop()."""
        self.log = open(self.logpath, "a")
        self.proc = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)

    def join(self, client_name, timeout=20):
        deadline = time.monotonic() + timeout
        # libjack reports every attempt before the server answers.
        jack.set_error_function(lambda message: None)
        try:
            while time.monotonic() < deadline:
                if self.proc.poll() is not None:
                    return None
                try:
                    return jack.Client(client_name, no_start_server=True, servername=self.name)
                except jack.JackError:
                    time.sleep(0.05)
            return None
        finally:
            jack.set_error_function()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        # A server that ends while clients are attached leaves their
        # semaphore files behind; they carry its name.
        mark = "_" + self.name + "_"
        for entry in os.listdir("/dev/shm"):
            if entry.startswith("jack_") and mark in entry:
                try:
                    os.remove(os.path.join("/dev/shm", entry))
                except OSError:
                    pass


def pulse_train(rate, seconds):
    """A voice-like source: 120 pulses a second, each a short decaying burst,
    so that every band of the vocoder has energy."""
    n = int(rate * seconds)
    t = np.arange(n)
    x = np.zeros(n, dtype=np.float32)
    x[(t % (rate // 120)) == 0] = 0.6
    kernel = np.exp(-np.arange(int(rate * 0.002)) / (rate * 0.0005)).astype(np.float32)
    return np.convolve(x, kernel)[:n].astype(np.float32)


def run_render(render, workdir, server, blocks=BLOCKS, output=None):
    script, silence = live_inputs(workdir, ["0 down %d" % KEY_220HZ], ENGINE_RATE, BLOCK)
    env = dict(os.environ, SORVANE_SOUND="jack", JACK_DEFAULT_SERVER=server.name, JACK_NO_START_SERVER="1")
    args = [render, "--live", "--input", silence, "--blocks", str(blocks), "--script", script,
            "--latency", LATENCY]
    if output is not None:
        args += ["--output", output]
    return subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env)


def wait_for_ports(client, names, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        present = {p.name for p in client.get_ports("Sorvane:")}
        if all(n in present for n in names):
            return True
        time.sleep(0.02)
    return False


def connect(client, source, destination, timeout=10):
    """Connects two ports, retrying while the renderer's client, whose ports
    are registered before it is activated, cannot take connections yet."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            client.connect(source, destination)
            return
        except jack.JackError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


class Loop:
    """The test's own client: plays the voice into Sorvane:Voice In from its
    start and records Sorvane:Song Out L and R."""

    def __init__(self, server, rate, seconds):
        self.client = server.join("loopback-test")
        self.joined = time.monotonic()
        if self.client is None:
            return
        self.voice = pulse_train(rate, seconds)
        self.song = np.zeros((2, rate * seconds), dtype=np.float32)
        self.played = 0
        self.recorded = 0
        self.voice_out = self.client.outports.register("voice")
        self.song_in = [self.client.inports.register("left"), self.client.inports.register("right")]
        self.client.set_process_callback(self.process)
        self.client.activate()
        self.started = time.monotonic()

    def process(self, frames):
        p = self.played
        chunk = self.voice[p:p + frames]
        buf = self.voice_out.get_array()
        buf[:len(chunk)] = chunk
        buf[len(chunk):] = 0
        self.played = p + frames
        r = self.recorded
        if r + frames <= self.song.shape[1]:
            self.song[0, r:r + frames] = self.song_in[0].get_array()
            self.song[1, r:r + frames] = self.song_in[1].get_array()
            self.recorded = r + frames

    def wire(self):
        connect(self.client, self.voice_out, "Sorvane:Voice In")
        connect(self.client, "Sorvane:Song Out L", self.song_in[0])
        connect(self.client, "Sorvane:Song Out R", self.song_in[1])
        # From here on both outputs reach the recording.
        self.wired = self.recorded

    def take(self):
        return self.song[:, :self.recorded].copy()

    def close(self):
        if self.client is not None:
            self.client.close()
            self.client = None


def sorvane_connections(server):
    return subprocess.run(["jack_lsp", "-s", server.name, "-c", "Sorvane"], capture_output=True, text=True,
                          timeout=10).stdout


def connected(listing, port, other):
    m = re.search(r"^%s\n((?:   .*\n)*)" % re.escape(port), listing, re.M)
    return m is not None and ("   " + other + "\n") in m.group(1)


def check_connections(listing, when):
    """The automatic connections to the dummy driver's ports, beside the test's own."""
    check(connected(listing, "Sorvane:Voice In", "system:capture_1"),
          "Voice In is connected to system:capture_1" + when)
    check(connected(listing, "Sorvane:Song Out L", "system:playback_1"),
          "Song Out L is connected to system:playback_1" + when)
    check(connected(listing, "Sorvane:Song Out R", "system:playback_2"),
          "Song Out R is connected to system:playback_2" + when)


def check_same(take, rate, when=""):
    """Both outputs carry the same samples; where not, says where they part."""
    differ = np.nonzero(take[0] != take[1])[0]
    where = ""
    if len(differ):
        where = " (%d differ, from %.3f s to %.3f s of %.3f s)" % (len(differ), differ[0] / rate, differ[-1] / rate,
                                                                 take.shape[1] / rate)
    # A cycle the machine ran late can hand the reader one port's buffer
    # before the renderer wrote it: at most a few ms of a busy run may differ.
    check(take.shape[1] > rate and len(differ) <= rate // 50,
          "Song Out L and R carry the same samples%s%s" % (when, where))


def loud_frames(left, rate):
    hop = rate // 100
    n = len(left) // hop
    env = np.sqrt(np.mean(left[:n * hop].reshape(n, hop) ** 2, axis=1))
    loud = np.nonzero(env > 0.2 * env.max())[0] if n > 0 and env.max() > 0 else np.array([], dtype=int)
    return loud, hop


def print_run(out, err, heading, listing):
    """What the renderer wrote, and the connections after the run."""
    print(out, end="")
    if err:
        print("stderr of sorvane-render:\n" + err, end="")
    print(heading + listing, end="")


# Long enough for the sound to come back as late as allowed and still run
# two seconds more.
RESTART_BLOCKS = 1500
PORTS = ["Sorvane:Voice In", "Sorvane:Song Out L", "Sorvane:Song Out R"]


def run_restart(rate, period, render, workdir):
    """The server stopped under the running renderer and started again under
    the same name: the renderer must come back to it by itself, with its
    ports wired to the driver's again, sing within three seconds of the
    server, write one valid file and end normally."""
    server = JackServer(rate, period, workdir)
    proc = None
    loops = []
    out, err, status, listing = "", "", None, ""
    stopped_at = up_at = wired_at = None
    before_wired = after_wired = 0
    output = os.path.join(workdir, "played.wav")
    try:
        first = Loop(server, rate, 12)
        loops.append(first)
        check(first.client is not None, "the private JACK server runs at %d Hz, %d-frame periods" % (rate, period))
        if first.client is None:
            return
        started = time.monotonic()
        proc = run_render(render, workdir, server, RESTART_BLOCKS, output)
        found = wait_for_ports(first.client, PORTS)
        check(found, "the renderer's JACK client has Voice In, Song Out L and Song Out R")
        if not found:
            return
        first.wire()
        time.sleep(max(0.0, 3.0 - (time.monotonic() - started)))
        before = first.take()
        before_wired = first.wired + rate // 10
        server.stop()
        stopped_at = time.monotonic()
        first.close()
        time.sleep(2)
        server.restart()
        second = Loop(server, rate, 12)
        loops.append(second)
        up_at = second.joined
        check(second.client is not None, "the server starts again under the same name")
        if second.client is None:
            return
        found = wait_for_ports(second.client, PORTS, timeout=15)
        check(found, "the renderer's ports are back after the restart")
        if found:
            wired_at = time.monotonic()
            second.wire()
            time.sleep(1.0)
            listing = sorvane_connections(server)
        out, err = finish_render(proc)
        status = proc.returncode
        second.client.deactivate()
        after = second.take()
        second_started = second.started
        # Wired while the renderer already sang: the channels are compared
        # from a little after both were connected.
        after_wired = second.wired + rate // 10
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
        for loop in loops:
            try:
                loop.close()
            except jack.JackError:
                pass
        server.stop()

    print_run(out, err, "jack_lsp -c after the restart:\n", listing)
    check(status == 0, "the run ends normally (status %s)" % status)
    # Before the renderer's first line, libjack may report the lost socket.
    err_lines = err.splitlines()
    own = [i for i, line in enumerate(err_lines) if "went away" in line]
    own = err_lines[own[0]:] if own else []
    check(len(own) == 2 and own[0].startswith("sorvane-render: ") and "is back" in own[-1],
          "one line when the server went away and one when the sound is back, nothing after (%s)"
          % " | ".join(err_lines[-4:]))
    check("live: sound server: JACK" in out, "the renderer ran on JACK")
    check_connections(listing, " after the restart")

    times = summary_number(out, r"sound server gone (\d+) time")
    gone = summary_number(out, r"the sound gone for ([\d.]+) s")
    events = summary_number(out, r"(\d+) capture events after it came back")
    check(times == 1, "the summary says the server went once (%s)" % times)
    check(gone is not None, "the summary says how long the sound was gone")
    if gone is not None:
        # The sound went at the latest when the server had stopped; the
        # server was back when a client could join it.
        back = stopped_at + gone - up_at
        print("server away %.1f s; the renderer's sound gone %.1f s, back %.2f s after the server at the latest; "
              "its ports there %.2f s after" % (up_at - stopped_at, gone, back,
                                                (wired_at or float("nan")) - up_at))
        check(back <= BACK_SECONDS * LOADED_MACHINE, "the sound is back within %.0f s of the server (%.2f s)"
              % (BACK_SECONDS * LOADED_MACHINE, back))
    check(events is not None and events >= 200, "the run went on after the sound came back (%s events)" % events)

    # What the test's own client heard, before and after.
    for take, when in ((before, " before the restart"), (after, " after the restart")):
        left = take[0].astype(np.float64)
        loud, hop = loud_frames(left, rate)
        check(len(loud) > 100, "the song sounds for over 1 s%s (%d loud 10-ms frames)" % (when, len(loud)))
        if len(loud) > 100:
            check_pitch(left, rate, loud[0] * hop, loud[-1] * hop, when)
            if take is after:
                heard = second_started + loud[0] * hop / rate - up_at
                print("the song heard again %.2f s after the server was back" % heard)
                check(heard <= BACK_SECONDS * LOADED_MACHINE, "the song is heard again within %.0f s of the server "
                      "(%.2f s)" % (BACK_SECONDS * LOADED_MACHINE, heard))
        check_same(take[:, after_wired if take is after else before_wired:], rate, when)

    try:
        with wave.open(output) as w:
            shape = (w.getnchannels(), w.getsampwidth(), w.getframerate())
            played = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
    except Exception as e:  # a broken file is the failure reported
        check(False, "the output is a valid WAV file (%s)" % e)
        return
    check(shape == (1, 2, ENGINE_RATE), "the output is 16-bit mono at %d Hz (%s)" % (ENGINE_RATE, shape))
    if events:
        sounds_around_gap(played, events, BLOCK)


def run(rate, period, render, workdir):
    server = JackServer(rate, period, workdir)
    proc = None
    client = None
    out, err, status, lsp = "", "", None, ""
    try:
        wired = 0
        client = server.join("loopback-test")
        check(client is not None, "the private JACK server runs at %d Hz, %d-frame periods" % (rate, period))
        if client is None:
            return None
        voice = pulse_train(rate, 12)
        song = np.zeros((2, rate * 12), dtype=np.float32)
        state = {"played": 0, "recorded": 0}
        voice_out = client.outports.register("voice")
        song_in = [client.inports.register("left"), client.inports.register("right")]

        @client.set_process_callback
        def process(frames):
            p = state["played"]
            chunk = voice[p:p + frames]
            buf = voice_out.get_array()
            buf[:len(chunk)] = chunk
            buf[len(chunk):] = 0
            state["played"] = p + frames
            r = state["recorded"]
            if r + frames <= song.shape[1]:
                song[0, r:r + frames] = song_in[0].get_array()
                song[1, r:r + frames] = song_in[1].get_array()
                state["recorded"] = r + frames

        client.activate()
        proc = run_render(render, workdir, server)
        ports = ["Sorvane:Voice In", "Sorvane:Song Out L", "Sorvane:Song Out R"]
        found = wait_for_ports(client, ports)
        check(found, "the renderer's JACK client has Voice In, Song Out L and Song Out R")
        if found:
            connect(client, voice_out, "Sorvane:Voice In")
            connect(client, "Sorvane:Song Out L", song_in[0])
            connect(client, "Sorvane:Song Out R", song_in[1])
            # Both outputs reach the recording from a cycle or two after this.
            wired = state["recorded"]
            time.sleep(1.0)
            lsp = subprocess.run(["jack_lsp", "-s", server.name, "-c", "Sorvane"], capture_output=True,
                                 text=True, timeout=10).stdout
        out, err = finish_render(proc)
        status = proc.returncode
        client.deactivate()
        recorded = song[:, :state["recorded"]].copy()
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
            proc.wait()
        if client is not None:
            client.close()
        server.stop()

    print_run(out, err, "jack_lsp -c:\n", lsp)
    check(status == 0, "sorvane-render --live exits with 0 (got %s)" % status)
    check(err == "", "nothing on stderr")
    check("live: sound server: JACK" in out, "the renderer ran on JACK")
    check(summary_number(out, r"live: (\d+) capture events") == BLOCKS, "exactly %d capture events" % BLOCKS)

    check_connections(lsp, "")

    flows = [summary_number(out, r"over- or underflows: capture (\d+)"),
             summary_number(out, r"over- or underflows: capture \d+, playback (\d+)")]
    # On the dummy driver an xrun is a cycle the machine ran late; an idle
    # machine shows none, a busy one a few in a thousand cycles.
    check(None not in flows and max(flows) <= 20, "at most a few xruns (%s)" % flows)
    delay = summary_number(out, r"input-to-output delay: median ([\d.]+) ms")
    if LATENCY == "low":
        # What the engine adds (the block being recorded and what the two
        # converters hold, about 12 ms) on top of the latencies the server
        # reports for its ports: the dummy driver's 256 capture and 512
        # playback frames (256 synchronous) are 16 ms (10.7 ms) of the whole
        # at 48000 Hz. A block's song waiting for the next cycle, or song
        # drawn from the queue ahead of need, would add up to a period, 5.3 ms.
        ports = [summary_number(out, r"device latency \(mean per callback\): capture ([\d.]+) ms"),
                 summary_number(out, r"device latency \(mean per callback\): capture [\d.]+ ms, playback ([\d.]+) ms")]
        engine = LOW_LATENCY_ENGINE_MS * LOADED_MACHINE
        bound = None if None in ports else sum(ports) + engine
        check(delay is not None and bound is not None and 5 <= delay <= bound,
              "input-to-output delay median %s ms is within 5..%s ms (the ports' %s ms and %d ms)"
              % (delay, bound, ports, engine))
        check(delay is not None and delay <= LOW_LATENCY_MS * LOADED_MACHINE,
              "input-to-output delay median %s ms is at most %d ms (an idle machine stays within %d ms)"
              % (delay, LOW_LATENCY_MS * LOADED_MACHINE, LOW_LATENCY_MS))
        p95 = summary_number(out, r"input-to-output delay: 95th percentile ([\d.]+) ms")
        steady = 10 * LOADED_MACHINE
        check(delay is not None and p95 is not None and p95 <= delay + steady,
              "95th percentile of the delay %s ms is within %d ms of the median %s ms" % (p95, steady, delay))
    else:
        check(delay is not None and 20 <= delay <= MAX_DELAY_MS * LOADED_MACHINE,
              "input-to-output delay median %s ms is within 20..%d ms (an idle machine stays within %d ms)"
              % (delay, MAX_DELAY_MS * LOADED_MACHINE, MAX_DELAY_MS))

    check(recorded.shape[1] > rate * 2, "the song was recorded (%d frames)" % recorded.shape[1])
    check_same(recorded[:, wired + rate // 10:], rate)
    left = recorded[0].astype(np.float64)
    loud, hop = loud_frames(left, rate)
    check(len(loud) > 200, "the song sounds for over 2 s (%d loud 10-ms frames)" % len(loud))
    if len(loud) > 200:
        check_pitch(left, rate, loud[0] * hop, loud[-1] * hop)
    return delay


def main():
    args = sys.argv[1:]
    test = run
    if args[:1] == ["restart"]:
        test = run_restart
        args = args[1:]
    elif args[:1] in (["low"], ["low-sync"]):
        global LATENCY, SERVER_OPTIONS
        LATENCY = "low"
        if args[0] == "low-sync":
            SERVER_OPTIONS = ["-S"]
        args = args[1:]
    if len(args) != 4:
        print(__doc__)
        return 2
    rate, period, render, workdir = int(args[0]), int(args[1]), args[2], args[3]
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    test(rate, period, render, workdir)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
