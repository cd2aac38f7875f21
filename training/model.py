# SPDX-License-Identifier: GPL-3.0-or-later
"""Band-gain + per-bin mask network (dilated temporal convolutions) on a 20 ms / 10 ms sqrt-Hann STFT.

The STFT exists twice: an FFT path (torch.stft / irfft) used in training, and a
matrix path (framing by reshape, fixed DFT bases, overlap-add by reshape) used
for ONNX export, because the exporter has no FFT. Both compute the same
transform; test_training.py checks them against each other.
"""
import math

import numpy as np
import torch
from torch import nn

RATE = 48000
N_FFT = 960
HOP = 480
N_BINS = N_FFT // 2 + 1
SEGMENT = 98304
# Floor of the log band and bin energies: about -87 dBFS of white noise per bin
# at the -24 LUFS working level, below 16-bit dither. A band that a band-limited
# recording leaves digitally empty then reads as a very quiet band, as it does
# in training, instead of tens of dB below anything the network has seen.
FEATURE_FLOOR = 1e-6


def sqrt_hann():
    # Periodic Hann: its square overlap-adds to exactly 1 at 50 % hop.
    return torch.sqrt(torch.hann_window(N_FFT, periodic=True, dtype=torch.float64)).float()


def erb_band_matrix(n_bands, lo_hz=0.0, hi_hz=RATE / 2):
    """Triangular ERB-spaced band weights [N_BINS, n_bands]; columns overlap so
    that the rows sum to one (interpolating band gains back to bins)."""
    def erb(f):
        return 21.4 * np.log10(1 + 0.00437 * f)

    def inv_erb(e):
        return (10 ** (e / 21.4) - 1) / 0.00437

    freqs = np.arange(N_BINS) * RATE / N_FFT
    centres = inv_erb(np.linspace(erb(lo_hz), erb(hi_hz), n_bands))
    # Keep the lowest centres at least two bins apart so no band is empty.
    for i in range(1, n_bands):
        centres[i] = max(centres[i], centres[i - 1] + 2 * RATE / N_FFT)
    centres = np.minimum(centres, RATE / 2)
    w = np.zeros((N_BINS, n_bands))
    for b in range(n_bands):
        c = centres[b]
        if b > 0:
            left = centres[b - 1]
            m = (freqs >= left) & (freqs <= c)
            w[m, b] = (freqs[m] - left) / max(c - left, 1e-9)
        if b < n_bands - 1:
            right = centres[b + 1]
            m = (freqs >= c) & (freqs <= right)
            w[m, b] = (right - freqs[m]) / max(right - c, 1e-9)
        w[freqs == c, b] = 1.0
    w[freqs <= centres[0], 0] = 1.0
    w[freqs >= centres[-1], -1] = 1.0
    return torch.tensor(w / w.sum(axis=1, keepdims=True), dtype=torch.float32)


def dft_bases():
    """Analysis [N_FFT, 2*N_BINS] (window folded in) and synthesis [2*N_BINS, N_FFT]."""
    n = torch.arange(N_FFT, dtype=torch.float64)
    k = torch.arange(N_BINS, dtype=torch.float64)
    ang = 2 * math.pi * torch.outer(n, k) / N_FFT
    w = sqrt_hann().double()[:, None]
    analysis = torch.cat([w * torch.cos(ang), -w * torch.sin(ang)], dim=1)
    scale = torch.full((N_BINS,), 2.0 / N_FFT, dtype=torch.float64)
    scale[0] = scale[-1] = 1.0 / N_FFT
    synthesis = torch.cat([(scale[:, None] * torch.cos(ang.T)), -(scale[:, None] * torch.sin(ang.T))], dim=0)
    synthesis = synthesis * w.T
    return analysis.float(), synthesis.float()


def padded_length(n):
    return (n + HOP - 1) // HOP * HOP


class ResidualBlock(nn.Module):
    """Dilated temporal convolution with a 1x1 projection back to the residual."""

    def __init__(self, channels, hidden, dilation):
        super().__init__()
        self.dilated = nn.Conv1d(channels, hidden, 3, padding=dilation, dilation=dilation)
        self.project = nn.Conv1d(hidden, channels, 1)
        # Small residual branches keep the deep stack near identity at the start.
        nn.init.normal_(self.project.weight, std=0.1 / math.sqrt(hidden))
        nn.init.zeros_(self.project.bias)

    def forward(self, x):
        return x + self.project(torch.relu(self.dilated(x)))


class Enhancer(nn.Module):
    def __init__(self, n_bands=40, n_low=64, channels=192, hidden=192, blocks=10):
        super().__init__()
        self.n_low = n_low
        self.register_buffer("window", sqrt_hann())
        self.register_buffer("bands", erb_band_matrix(n_bands))
        band_norm = self.bands / self.bands.sum(dim=0, keepdim=True)
        self.register_buffer("band_avg", band_norm)
        analysis, synthesis = dft_bases()
        self.register_buffer("analysis", analysis)
        self.register_buffer("synthesis", synthesis)
        n_feat = n_bands + n_low
        self.register_buffer("feat_mean", torch.zeros(n_feat))
        self.register_buffer("feat_std", torch.ones(n_feat))
        self.input = nn.Conv1d(n_feat, channels, 1)
        # Dilations 1..32, then 1..8: +-78 frames (0.78 s) of context each side,
        # so most of the 2 s segment informs every frame's gains (processing is offline).
        self.blocks = nn.Sequential(*[ResidualBlock(channels, hidden, 2 ** (i % 6))
                                      for i in range(blocks)])
        self.band_head = nn.Conv1d(channels, n_bands, 1)
        self.bin_head = nn.Conv1d(channels, N_BINS, 1)
        # Start near pass-through: clean speech must leave untouched.
        nn.init.constant_(self.band_head.bias, 3.0)
        nn.init.zeros_(self.bin_head.weight)
        nn.init.zeros_(self.bin_head.bias)

    # --- transforms -------------------------------------------------------
    def _pad(self, x):
        n = x.shape[-1]
        return nn.functional.pad(x, (HOP, padded_length(n) - n + HOP))

    def stft_fft(self, x):
        """[B, N] -> (re, im) each [B, T, N_BINS] via torch.stft."""
        spectrum = torch.stft(self._pad(x), N_FFT, HOP, window=self.window, center=False,
                          return_complex=True).transpose(1, 2)
        return spectrum.real, spectrum.imag

    def stft_matrix(self, x):
        """Same transform with framing by reshape and a fixed DFT basis."""
        xp = self._pad(x)
        blocks = xp.reshape(xp.shape[0], -1, HOP)
        frames = torch.cat([blocks[:, :-1], blocks[:, 1:]], dim=2)
        spectrum = frames @ self.analysis
        return spectrum[..., :N_BINS], spectrum[..., N_BINS:]

    def istft_fft(self, re, im, n):
        frames = torch.fft.irfft(torch.complex(re, im), n=N_FFT, dim=2) * self.window
        return self._overlap_add(frames, n)

    def istft_matrix(self, re, im, n):
        frames = torch.cat([re, im], dim=2) @ self.synthesis
        return self._overlap_add(frames, n)

    @staticmethod
    def _overlap_add(frames, n):
        b = frames.shape[0]
        first, second = frames[..., :HOP], frames[..., HOP:]
        zeros = torch.zeros_like(first[:, :1])
        blocks = torch.cat([first, zeros], dim=1) + torch.cat([zeros, second], dim=1)
        return blocks.reshape(b, -1)[:, HOP:HOP + n]

    # --- network ----------------------------------------------------------
    def features(self, power):
        band = torch.log10(power @ self.band_avg + FEATURE_FLOOR)
        low = torch.log10(power[..., :self.n_low] + FEATURE_FLOOR)
        return torch.cat([band, low], dim=2)

    def mask(self, re, im):
        feat = (self.features(re * re + im * im) - self.feat_mean) / self.feat_std
        h = self.blocks(self.input(feat.transpose(1, 2)))
        logits = (self.bands @ self.band_head(h) + self.bin_head(h)).transpose(1, 2)
        return torch.sigmoid(logits)

    def enhance(self, x, matrix=False):
        """[B, N] noisy -> [B, N] enhanced speech."""
        n = x.shape[-1]
        re, im = self.stft_matrix(x) if matrix else self.stft_fft(x)
        m = self.mask(re, im)
        if matrix:
            return self.istft_matrix(re * m, im * m, n)
        return self.istft_fft(re * m, im * m, n)


class ExportWrapper(nn.Module):
    """The shipped contract: signal [1, 1, 1, SEGMENT] -> component to subtract."""

    def __init__(self, enhancer):
        super().__init__()
        self.enhancer = enhancer

    def forward(self, signal):
        x = signal.reshape(1, SEGMENT)
        return (x - self.enhancer.enhance(x, matrix=True)).reshape(1, 1, 1, SEGMENT)
