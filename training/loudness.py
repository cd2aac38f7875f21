# SPDX-License-Identifier: GPL-3.0-or-later
"""Integrated loudness (ITU-R BS.1770 K-weighting with EBU R128 gating)."""
import numpy as np
from scipy import signal

RATE = 48000
TARGET_LUFS = -24.0

# BS.1770 K-weighting for 48 kHz as second-order sections (b0 b1 b2 a0 a1 a2):
# high-shelf pre-filter, then the RLB high-pass.
_K_WEIGHTING = np.array([[1.53512485958697, -2.69169618940638, 1.19839281085285,
                          1.0, -1.69065929318241, 0.73248077421585],
                         [1.0, -2.0, 1.0, 1.0, -1.99004745483398, 0.99007225036621]])


def k_weight(x):
    """K-weighted copy of a 48 kHz mono signal."""
    return signal.sosfilt(_K_WEIGHTING, x)


BLOCK = int(0.4 * RATE)
ABSOLUTE_GATE_LUFS = -70.0


def block_energies(x):
    """K-weighted mean square of the 400 ms block that starts at each sample
    (len(x) - BLOCK + 1 values)."""
    csum = np.concatenate([[0.0], np.cumsum(k_weight(np.asarray(x, dtype=np.float64)) ** 2)])
    return (csum[BLOCK:] - csum[:-BLOCK]) / BLOCK


def momentary_loudness(x):
    """Loudness in LUFS of the 400 ms block that starts at each sample, read as
    the absolute gate where it lies under it."""
    return np.maximum(-0.691 + 10 * np.log10(block_energies(x) + 1e-30), ABSOLUTE_GATE_LUFS)


def integrated_loudness(x):
    """Gated integrated loudness in LUFS; -inf for silence or clips under 400 ms."""
    x = np.asarray(x, dtype=np.float64)
    if len(x) < BLOCK:
        return -np.inf
    z = block_energies(x)[::int(0.1 * RATE)]
    lk = -0.691 + 10 * np.log10(z + 1e-30)
    z = z[lk > ABSOLUTE_GATE_LUFS]
    if len(z) == 0:
        return -np.inf
    relative = -0.691 + 10 * np.log10(z.mean()) - 10.0
    z = z[-0.691 + 10 * np.log10(z) > relative]
    return float(-0.691 + 10 * np.log10(z.mean()))


def normalisation_gain(x, target=TARGET_LUFS):
    """Linear gain that brings x to the target loudness (1 for silence)."""
    lufs = integrated_loudness(x)
    if not np.isfinite(lufs):
        return 1.0
    return float(10 ** ((target - lufs) / 20))
