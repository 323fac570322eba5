# SPDX-License-Identifier: GPL-3.0-or-later
"""What the loopback tests share: the list of failed checks, reading the
renderer's summary, and the pitch of a recorded song."""
import re

import numpy as np

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
