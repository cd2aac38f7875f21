# SPDX-License-Identifier: GPL-3.0-or-later
"""Band-gain + per-bin mask network (dilated temporal convolutions) on a 20 ms / 10 ms sqrt-Hann STFT,
with an optional complex filter over neighbouring frames for the lower bins.

The STFT exists twice: an FFT path (torch.stft / irfft) used in training, and a
matrix path (framing by reshape, fixed DFT bases, overlap-add by reshape) used
for ONNX export, because the exporter has no FFT. Both compute the same
transform; test_training.py checks them against each other. The matrix path
splits the 960-point DFT into 64-point and 15-point stages (Cooley-Tukey, the
twiddle factors folded into the second stage's bases), a sixth of the
multiply-adds of one dense 960 x 962 product.
"""
import math

import numpy as np
import torch
from torch import nn

RATE = 48000
N_FFT = 960
HOP = 480
N_BINS = N_FFT // 2 + 1
# The application's framing: 2.048 s segments overlapping by 0.512 s. The
# export writes it into the model's metadata, where the application reads it.
SEGMENT = 98304
OVERLAP = 24576
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


# The matrix path's DFT factors: frame sample n = FACTOR_B * n1 + n2 and bin
# k = k1 + FACTOR_A * k2, with n1, k1 < FACTOR_A and n2, k2 < FACTOR_B.
FACTOR_A, FACTOR_B = 64, 15
# The k2 the bins up to N_BINS - 1 reach.
ROWS_B = -(-N_BINS // FACTOR_A)


def factored_dft_bases():
    """The stages of the forward and inverse DFT of one frame, as the matrix
    path applies them; every layout keeps the exported graph's reorderings to
    one swap of the two innermost axes.

    Forward: the 64-point DFT over n1 ([re|im k1, n1], multiplied from the
    left), the twiddles W_960^(n2 k1) ([k1, n2], cos and sin), then the
    15-point DFT over n2 ([n2, k2], cos and sin). Inverse: the 15-point inverse
    over k2 ([k2, n2]), the conjugate twiddles, then the 64-point inverse over
    k1 summed into real samples ([n1, re|im k1]); the one-sided scaling and the
    window are applied around them."""
    a = torch.arange(FACTOR_A, dtype=torch.float64)
    b = torch.arange(FACTOR_B, dtype=torch.float64)
    rows = torch.arange(ROWS_B, dtype=torch.float64)
    ang_a = 2 * math.pi * torch.outer(a, a) / FACTOR_A
    forward_a = torch.cat([torch.cos(ang_a), -torch.sin(ang_a)], dim=0)  # [re|im k1, n1]
    ang_t = 2 * math.pi * torch.outer(a, b) / N_FFT                       # [k1, n2]
    twiddle = torch.stack([torch.cos(ang_t), torch.sin(ang_t)])
    ang_b = 2 * math.pi * torch.outer(b, rows) / FACTOR_B                 # [n2, k2]
    stage_b = torch.stack([torch.cos(ang_b), torch.sin(ang_b)])
    inverse_a = torch.cat([torch.cos(ang_a), -torch.sin(ang_a)], dim=1)   # [n1, re|im k1]
    k = torch.arange(ROWS_B * FACTOR_A)
    scale = torch.where((k == 0) | (k == N_FFT // 2), 1.0 / N_FFT, 2.0 / N_FFT)
    scale = torch.where(k < N_BINS, scale, torch.zeros_like(scale))
    return [t.float() for t in (forward_a, twiddle, stage_b, inverse_a, scale)]


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


# Network 2.x: real mask only, noisy phase kept. Checkpoints without an "arch"
# entry are of this shape.
MASK_ONLY = {"filter_bins": 0, "filter_reach": 0}
# Network 3: a complex filter over frames t-2..t+2 for the bins up to 8 kHz.
PHASE_AWARE = {"filter_bins": 161, "filter_reach": 2}


class Enhancer(nn.Module):
    def __init__(self, n_bands=40, n_low=64, channels=192, hidden=192, blocks=10,
                 filter_bins=PHASE_AWARE["filter_bins"], filter_reach=PHASE_AWARE["filter_reach"]):
        super().__init__()
        self.n_low = n_low
        self.arch = {"filter_bins": filter_bins, "filter_reach": filter_reach}
        if filter_bins:
            self.arch["filter_input"] = "masked"
        self.filter_bins, self.filter_reach = filter_bins, filter_reach
        self.register_buffer("window", sqrt_hann())
        self.register_buffer("bands", erb_band_matrix(n_bands))
        band_norm = self.bands / self.bands.sum(dim=0, keepdim=True)
        self.register_buffer("band_avg", band_norm)
        for name, basis in zip(("dft_a", "twiddle", "dft_b", "idft_a", "idft_scale"), factored_dft_bases()):
            self.register_buffer(name, basis, persistent=False)
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
        if filter_bins:
            # The complex stage sees the low bins' phase (the log powers above
            # do not) and adds a filtered correction to the masked spectrum.
            # Both are zero at the start, so a warm-started network computes
            # exactly what the mask-only network did.
            taps = 2 * filter_reach + 1
            self.phase_input = nn.Conv1d(2 * filter_bins, channels, 1)
            self.filter_head = nn.Conv1d(channels, 2 * taps * filter_bins, 1)
            for layer in (self.phase_input, self.filter_head):
                nn.init.zeros_(layer.weight)
                nn.init.zeros_(layer.bias)

    def load_state_dict(self, state, strict=True):
        # Checkpoints from before the two-stage DFT carry the dense bases.
        state = {k: v for k, v in state.items() if k not in ("analysis", "synthesis")}
        return super().load_state_dict(state, strict)

    @classmethod
    def from_state(cls, state):
        """An untrained network of the shape a checkpoint was saved from."""
        arch = dict(state.get("arch", MASK_ONLY))
        if arch["filter_bins"] and arch.pop("filter_input", None) != "masked":
            raise ValueError("this checkpoint's complex filter worked on the noisy spectrum, "
                             "a form the network no longer has")
        return cls(**arch)

    def stage_parameters(self):
        """Parameters of the complex stage (empty for a mask-only network)."""
        if not self.filter_bins:
            return []
        return list(self.phase_input.parameters()) + list(self.filter_head.parameters())

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
        """Same transform with framing by reshape and fixed DFT bases in two stages."""
        xp = self._pad(x)
        b = xp.shape[0]
        blocks = xp.reshape(b, -1, HOP)
        frames = torch.cat([blocks[:, :-1], blocks[:, 1:]], dim=2) * self.window
        t = frames.shape[1]
        # [B, T, n1, n2] -> [B, T, re|im, k1, n2]
        stage = (self.dft_a @ frames.reshape(b, t, FACTOR_A, FACTOR_B)).reshape(b, t, 2, FACTOR_A, FACTOR_B)
        # Times W^(n2 k1) = cos - i sin.
        cos, sin = self.twiddle[0], self.twiddle[1]
        re = stage[:, :, 0] * cos + stage[:, :, 1] * sin
        im = stage[:, :, 1] * cos - stage[:, :, 0] * sin
        # Over n2, again times cos - i sin: [B, T, k1, k2] -> [B, T, k2, k1], bins k1 + 64 k2.
        out_re = re @ self.dft_b[0] + im @ self.dft_b[1]
        out_im = im @ self.dft_b[0] - re @ self.dft_b[1]
        spectrum = torch.stack([out_re, out_im], dim=2).transpose(3, 4).reshape(b, t, 2, ROWS_B * FACTOR_A)
        return spectrum[:, :, 0, :N_BINS], spectrum[:, :, 1, :N_BINS]

    def istft_fft(self, re, im, n):
        frames = torch.fft.irfft(torch.complex(re, im), n=N_FFT, dim=2) * self.window
        return self._overlap_add(frames, n)

    def istft_matrix(self, re, im, n):
        b, t = re.shape[0], re.shape[1]
        spectrum = nn.functional.pad(torch.stack([re, im], dim=2), (0, ROWS_B * FACTOR_A - N_BINS)) * self.idft_scale
        # [B, T, re|im, k2, k1] -> [B, T, re|im, k1, k2]
        spectrum = spectrum.reshape(b, t, 2, ROWS_B, FACTOR_A).transpose(3, 4)
        z_re, z_im = spectrum[:, :, 0], spectrum[:, :, 1]
        # Over k2 times cos + i sin, then times W^(-n2 k1): [B, T, k1, n2].
        cos_b, sin_b = self.dft_b[0].T, self.dft_b[1].T
        p_re = z_re @ cos_b - z_im @ sin_b
        p_im = z_re @ sin_b + z_im @ cos_b
        cos, sin = self.twiddle[0], self.twiddle[1]
        stage = torch.cat([p_re * cos - p_im * sin, p_re * sin + p_im * cos], dim=2)  # [B, T, re|im k1, n2]
        # The real part of the sum over k1 with e^(+i 2 pi n1 k1 / 64): [B, T, n1, n2].
        frames = (self.idft_a @ stage).reshape(b, t, N_FFT) * self.window
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

    def phase_features(self, re, im):
        """The low bins' spectrum scaled by each bin's RMS over the segment:
        level-free, phase kept. [B, T, K] x 2 -> [B, 2K, T]"""
        k = self.filter_bins
        lr, li = re[..., :k], im[..., :k]
        scale = torch.rsqrt((lr * lr + li * li).mean(1, keepdim=True) + FEATURE_FLOOR)
        return torch.cat([lr * scale, li * scale], dim=2).transpose(1, 2)

    def estimate(self, re, im):
        """The network's outputs: the real mask [B, T, N_BINS] and the complex
        filter [B, T, K, taps] as (real, imaginary), or None without the stage."""
        feat = (self.features(re * re + im * im) - self.feat_mean) / self.feat_std
        h = self.input(feat.transpose(1, 2))
        if self.filter_bins:
            h = h + self.phase_input(self.phase_features(re, im))
        h = self.blocks(h)
        logits = (self.bands @ self.band_head(h) + self.bin_head(h)).transpose(1, 2)
        if not self.filter_bins:
            return torch.sigmoid(logits), None
        b, t = h.shape[0], h.shape[2]
        taps = 2 * self.filter_reach + 1
        # tanh bounds each tap; it is 0 with slope 1 at the zero start.
        coef = torch.tanh(self.filter_head(h)).reshape(b, 2, taps, self.filter_bins, t).permute(0, 1, 4, 3, 2)
        return torch.sigmoid(logits), (coef[:, 0], coef[:, 1])

    def apply(self, re, im, mask, coef):
        """Masked spectrum Y plus, in the low bins, sum over d of coef[d] * Y[t + d].
        The filter works on the masked spectrum rather than the noisy one: where
        the mask has removed a bin, no coefficient can bring its noise back, so
        the loss stays smooth in the coefficients and the stage can be trained."""
        yr, yi = re * mask, im * mask
        if coef is None:
            return yr, yi
        k, reach = self.filter_bins, self.filter_reach
        cr, ci = coef
        t = re.shape[1]
        padded_r = nn.functional.pad(yr[..., :k], (0, 0, reach, reach))
        padded_i = nn.functional.pad(yi[..., :k], (0, 0, reach, reach))
        fr, fi = 0, 0
        for tap in range(2 * reach + 1):
            sr, si = padded_r[:, tap:tap + t], padded_i[:, tap:tap + t]
            fr = fr + cr[..., tap] * sr - ci[..., tap] * si
            fi = fi + cr[..., tap] * si + ci[..., tap] * sr
        return (torch.cat([yr[..., :k] + fr, yr[..., k:]], dim=2),
                torch.cat([yi[..., :k] + fi, yi[..., k:]], dim=2))

    def enhance(self, x, matrix=False):
        """[B, N] noisy -> [B, N] enhanced speech."""
        n = x.shape[-1]
        re, im = self.stft_matrix(x) if matrix else self.stft_fft(x)
        yr, yi = self.apply(re, im, *self.estimate(re, im))
        if matrix:
            return self.istft_matrix(yr, yi, n)
        return self.istft_fft(yr, yi, n)


class ExportWrapper(nn.Module):
    """The shipped contract: signal [1, 1, 1, SEGMENT] -> component to subtract."""

    def __init__(self, enhancer):
        super().__init__()
        self.enhancer = enhancer

    def forward(self, signal):
        x = signal.reshape(1, SEGMENT)
        return (x - self.enhancer.enhance(x, matrix=True)).reshape(1, 1, 1, SEGMENT)
