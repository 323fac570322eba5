#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Live loopback of sorvane-render --live on a private JACK server.

  jack_loopback_test.py RATE PERIOD RENDER WORKDIR

Starts jackd on the dummy driver under a name of its own (stopped by its
process id with SIGTERM, so that JACK's shared registry is freed), runs the
renderer on it with SORVANE_SOUND=jack and a key held by its script, plays a
voice-like pulse train into Sorvane:Voice In from a client of its own and
records Sorvane:Song Out L and R there. Checks that the song sings at the
held key's pitch, that both outputs carry the same samples, the delay the
renderer measured, its xrun counts, and that the Sorvane ports were connected
to the dummy driver's physical ports.

Exit status 0 when every check passes; each failed check is printed.
"""

import math
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

ENGINE_RATE = 22050
BLOCK = 220
KEY_220HZ = 13  # key index 13 at the default octave sounds 220 Hz
# The same bound as the PulseAudio loopback's: the queue the rate control
# keeps plus the server's ports, with room for a busy machine's stalls (the
# medians measured on an idle one are in the README).
MAX_DELAY_MS = 125
BLOCKS = 500

failures = []


def check(condition, message):
    print(("ok:   " if condition else "FAIL: ") + message)
    if not condition:
        failures.append(message)


def summary_number(text, pattern):
    m = re.search(pattern, text)
    return float(m.group(1)) if m else None


def fundamental(x, rate, expected):
    """Fundamental frequency from the first harmonics' interpolated peaks."""
    x = x * np.hanning(len(x))
    spectrum = np.abs(np.fft.rfft(x)) + 1e-9
    hz_per_bin = rate / len(x)
    estimates, weights = [], []
    for h in range(1, 6):
        lo = int(h * expected * 0.95 / hz_per_bin)
        hi = int(h * expected * 1.05 / hz_per_bin)
        k = lo + int(np.argmax(spectrum[lo:hi]))
        a, b, c = np.log(spectrum[k - 1:k + 2])
        d = 0.5 * (a - c) / (a - 2 * b + c)
        estimates.append((k + d) * hz_per_bin / h)
        weights.append(spectrum[k])
    return float(np.average(estimates, weights=weights))


class JackServer:
    """jackd on the dummy driver, under a name only this run uses."""

    def __init__(self, rate, period, workdir):
        self.name = "sorvane-loopback-%d-%d" % (rate, os.getpid())
        self.log = open(os.path.join(workdir, "jackd.log"), "w")
        self.proc = subprocess.Popen(
            ["jackd", "-n", self.name, "-r", "-d", "dummy", "-r", str(rate), "-p", str(period)],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)

    def join(self, client_name, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return None
            try:
                return jack.Client(client_name, no_start_server=True, servername=self.name)
            except jack.JackError:
                time.sleep(0.05)
        return None

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


def run_render(render, workdir, server):
    script = os.path.join(workdir, "script.txt")
    with open(script, "w") as f:
        f.write("0 down %d\n" % KEY_220HZ)
    # The renderer wants an input file; live, it only sets a default length.
    silence = os.path.join(workdir, "silence.wav")
    with wave.open(silence, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(ENGINE_RATE)
        w.writeframes(b"\0\0" * BLOCK)
    env = dict(os.environ, SORVANE_SOUND="jack", JACK_DEFAULT_SERVER=server.name, JACK_NO_START_SERVER="1")
    args = [render, "--live", "--input", silence, "--blocks", str(BLOCKS), "--script", script]
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


def run(rate, period, render, workdir):
    server = JackServer(rate, period, workdir)
    proc = None
    client = None
    out, err, status, lsp = "", "", None, ""
    try:
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
            client.connect(voice_out, "Sorvane:Voice In")
            client.connect("Sorvane:Song Out L", song_in[0])
            client.connect("Sorvane:Song Out R", song_in[1])
            time.sleep(1.0)
            lsp = subprocess.run(["jack_lsp", "-s", server.name, "-c", "Sorvane"], capture_output=True,
                                 text=True, timeout=10).stdout
        try:
            out, err = proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate()
            check(False, "sorvane-render --live ended within 60 s")
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

    print(out, end="")
    if err:
        print("stderr of sorvane-render:\n" + err, end="")
    print("jack_lsp -c:\n" + lsp, end="")
    check(status == 0, "sorvane-render --live exits with 0 (got %s)" % status)
    check(err == "", "nothing on stderr")
    check("live: sound server: JACK" in out, "the renderer ran on JACK")
    check(summary_number(out, r"live: (\d+) capture events") == BLOCKS, "exactly %d capture events" % BLOCKS)

    # The automatic connections to the dummy driver's ports, beside the test's own.
    def connected(port, other):
        m = re.search(r"^%s\n((?:   .*\n)*)" % re.escape(port), lsp, re.M)
        return m is not None and ("   " + other + "\n") in m.group(1)

    check(connected("Sorvane:Voice In", "system:capture_1"), "Voice In is connected to system:capture_1")
    check(connected("Sorvane:Song Out L", "system:playback_1"), "Song Out L is connected to system:playback_1")
    check(connected("Sorvane:Song Out R", "system:playback_2"), "Song Out R is connected to system:playback_2")

    flows = [summary_number(out, r"over- or underflows: capture (\d+)"),
             summary_number(out, r"over- or underflows: capture \d+, playback (\d+)")]
    check(None not in flows and max(flows) <= 5, "at most a handful of xruns (%s)" % flows)
    delay = summary_number(out, r"input-to-output delay: median ([\d.]+) ms")
    check(delay is not None and 20 <= delay <= MAX_DELAY_MS,
          "input-to-output delay median %s ms is within 20..%d ms" % (delay, MAX_DELAY_MS))

    check(recorded.shape[1] > rate * 2, "the song was recorded (%d frames)" % recorded.shape[1])
    check(np.array_equal(recorded[0], recorded[1]), "Song Out L and R carry the same samples")
    left = recorded[0].astype(np.float64)
    hop = rate // 100
    n = len(left) // hop
    env = np.sqrt(np.mean(left[:n * hop].reshape(n, hop) ** 2, axis=1))
    loud = np.nonzero(env > 0.2 * env.max())[0] if n > 0 and env.max() > 0 else np.array([], dtype=int)
    check(len(loud) > 200, "the song sounds for over 2 s (%d loud 10-ms frames)" % len(loud))
    if len(loud) > 200:
        a, b = loud[0] * hop, loud[-1] * hop
        f0 = fundamental(left[a:b], rate, 220.0)
        cents = 1200 * math.log2(f0 / 220.0)
        check(abs(cents) < 5, "pitch %.3f Hz is within 5 cents of 220 Hz (%.2f cents)" % (f0, cents))
    return delay


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    rate, period, render, workdir = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    shutil.rmtree(workdir, ignore_errors=True)
    os.makedirs(workdir)
    run(rate, period, render, workdir)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
