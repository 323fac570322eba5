# SPDX-License-Identifier: GPL-3.0-or-later
"""What the loopback tests share: the list of failed checks, reading the
renderer's summary, the renderer's end, the sound around a gap and the
pitch of a recorded song."""
import math
import os
import re
import subprocess
import wave

import numpy as np

failures = []

# A bound on a time that the machine sets (a delay, how long something took
# to come back) is this many times the figure an idle machine stays within,
# so that a loaded machine cannot fail a run whose correctness checks all
# pass. The figures themselves are measured idle, for the documentation.
LOADED_MACHINE = 2


def check(condition, message):
    print(("ok:   " if condition else "FAIL: ") + message)
    if not condition:
        failures.append(message)


def sounds_around_gap(played, events_after, block):
    """The played sound is heard before a gap and in the second half of the
    events_after blocks of events after it."""
    tail = played[-int(events_after) * block:]
    head = played[:len(played) - len(tail)]
    rms = lambda x: float(np.sqrt(np.mean(x * x))) if len(x) else 0.0
    check(rms(head) > 100 and rms(tail[len(tail) // 2:]) > 100,
          "the output sounds before the gap and after it (rms %.0f, %.0f)" % (rms(head), rms(tail[len(tail) // 2:])))


def finish_render(proc, seconds=60):
    """Waits for the renderer's end; its stdout and stderr. A renderer that
    has not ended in time is killed, and that is a failure."""
    try:
        return proc.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        check(False, "sorvane-render --live ended within %d s" % seconds)
        return proc.communicate()


def live_inputs(workdir, script_lines, rate, block):
    """The script of a live run, and one block of silence as its input: the
    renderer wants an input file; live, it only sets a default length."""
    script = os.path.join(workdir, "script.txt")
    with open(script, "w") as f:
        f.write("".join(line + "\n" for line in script_lines))
    silence = os.path.join(workdir, "silence.wav")
    with wave.open(silence, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(b"\0\0" * block)
    return script, silence


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


def check_pitch(x, rate, a, b, when=""):
    """Samples a to b of x sound at 220 Hz, within 5 cents."""
    f0 = fundamental(x[a:b], rate, 220.0)
    cents = 1200 * math.log2(f0 / 220.0)
    check(abs(cents) < 5, "pitch %.3f Hz is within 5 cents of 220 Hz (%.2f cents)%s" % (f0, cents, when))
