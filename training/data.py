"""Corpus access and on-the-fly mixture generation (numpy only).

Each example is (noisy, target, bandwidth_hz): the network's input, the speech
it should keep, and the highest frequency where the target is trustworthy (the
clean source's measured bandwidth; the loss ignores bins above it).
"""
import os

import numpy as np

import loudness

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "cache")
RATE = 48000
FULL_BAND = RATE // 2

# Sampling weights of the speech sources: the full-band ones are small but
# are the only teachers above 7 kHz, so they are drawn more than their size.
SPEECH_WEIGHTS = {"vctk_p239": 0.4, "alphanumeric_accents": 0.3, "malayalam_msc": 0.3}


class Corpus:
    """Decoded audio and the split written by prepare_data.py."""

    def __init__(self, split, cache=CACHE):
        self.audio = {}
        self.speech = {}
        self.noise = []
        with open(os.path.join(cache, "index.tsv")) as f:
            header = f.readline().rstrip("\n").split("\t")
            for line in f:
                r = dict(zip(header, line.rstrip("\n").split("\t")))
                if r["split"] != split:
                    continue
                if r["source"] not in self.audio:
                    self.audio[r["source"]] = np.load(os.path.join(cache, r["source"] + ".npy"),
                                                      mmap_mode="r")
                item = (r["source"], int(r["offset"]), int(r["length"]), int(r["bandwidth_hz"]),
                        r["speaker"], r["file"])
                if r["kind"] == "speech":
                    self.speech.setdefault(r["source"], []).append(item)
                else:
                    self.noise.append(item)

    def read(self, item, start=0, length=None):
        src, offset, n = item[0], item[1], item[2]
        length = n - start if length is None else min(length, n - start)
        return self.audio[src][offset + start:offset + start + length].astype(np.float32) / 32768.0


def crop(x, n, rng):
    """Random n-sample window; shorter input is placed at a random offset in zeros."""
    if len(x) >= n:
        s = rng.integers(0, len(x) - n + 1)
        return x[s:s + n].copy()
    out = np.zeros(n, np.float32)
    s = rng.integers(0, n - len(x) + 1)
    out[s:s + len(x)] = x
    return out


def power(x):
    return float(np.mean(x.astype(np.float64) ** 2)) + 1e-12


def shape_spectrum(x, gain_fn):
    """Apply a zero-phase frequency response gain_fn(freqs_hz) via FFT."""
    n = len(x)
    spectrum = np.fft.rfft(x)
    return np.fft.irfft(spectrum * gain_fn(np.fft.rfftfreq(n, 1 / RATE)), n).astype(np.float32)


def fftconvolve(x, h):
    n = len(x) + len(h) - 1
    m = 1 << int(np.ceil(np.log2(n)))
    return np.fft.irfft(np.fft.rfft(x, m) * np.fft.rfft(h, m), m)[:n].astype(np.float32)


# --- synthetic noise ---------------------------------------------------------

def coloured_noise(n, rng, exponent):
    """Noise with power ~ 1/f^exponent (0 white, 1 pink, 2 brown)."""
    w = rng.standard_normal(n).astype(np.float32)
    return shape_spectrum(w, lambda f: 1.0 / np.maximum(f, 20.0) ** (exponent / 2))


def hum(n, rng):
    f0 = rng.choice([50.0, 60.0]) * rng.uniform(0.995, 1.005)
    t = np.arange(n) / RATE
    out = np.zeros(n)
    # Buzzy hum (rectified, ground loops) has slowly decaying harmonics.
    decay = rng.uniform(0.3, 1.5)
    for k in range(1, int(min(40, 8000 // f0)) + 1):
        if rng.random() < 0.3 and k > 1:
            continue
        out += k ** -decay * np.sin(2 * np.pi * k * f0 * t + rng.uniform(0, 2 * np.pi))
    return out.astype(np.float32)


def fan(n, rng):
    """Filtered broadband noise with a smooth random envelope and blade tones."""
    w = rng.standard_normal(n).astype(np.float32)
    corner = rng.uniform(200, 3000)
    slope = rng.uniform(1, 4)
    bumps = [(rng.uniform(100, 6000), rng.uniform(50, 800), rng.uniform(0, 3)) for _ in range(3)]

    def env(f):
        g = 1.0 / (1 + (f / corner) ** slope)
        for c, wd, a in bumps:
            g = g * (1 + a * np.exp(-0.5 * ((f - c) / wd) ** 2))
        return np.sqrt(g)
    out = shape_spectrum(w, env)
    if rng.random() < 0.5:
        t = np.arange(n) / RATE
        blade = rng.uniform(80, 400)
        out += np.sqrt(power(out)) * rng.uniform(0.1, 1.0) * np.sin(2 * np.pi * blade * t).astype(np.float32)
    return out


def clicks(n, rng):
    out = np.zeros(n, np.float32)
    rate = rng.uniform(2, 12)
    times = np.cumsum(rng.exponential(1 / rate, size=int(rate * n / RATE * 3) + 2))
    lo, hi = rng.uniform(300, 2000), rng.uniform(4000, 20000)
    for t in times:
        s = int(t * RATE)
        if s >= n:
            break
        length = int(rng.uniform(0.002, 0.015) * RATE)
        burst = rng.standard_normal(length) * np.exp(-np.arange(length) / (length / 4))
        burst *= rng.uniform(0.2, 1.0)
        e = min(n, s + length)
        out[s:e] += burst[:e - s]
    return shape_spectrum(out, lambda f: ((f > lo) & (f < hi)).astype(float) + 0.05)


def babble(n, rng, corpus):
    out = np.zeros(n, np.float32)
    for _ in range(rng.integers(3, 7)):
        src = rng.choice(list(corpus.speech))
        x = crop(corpus.read(corpus.speech[src][rng.integers(len(corpus.speech[src]))]), n, rng)
        out += x / np.sqrt(power(x)) * rng.uniform(0.5, 1.0)
    return out


def real_noise(n, rng, corpus):
    """A random noise file, looped when shorter than n."""
    item = corpus.noise[rng.integers(len(corpus.noise))]
    x = corpus.read(item)
    if len(x) < n:
        x = np.tile(x, n // len(x) + 1)
    return crop(x, n, rng)


def noise_mix(n, rng, corpus):
    """One or two noises, real or synthesised, summed with random weights."""
    out = np.zeros(n, np.float32)
    for i in range(1 if rng.random() < 0.7 else 2):
        r = rng.random()
        if r < 0.55:
            x = real_noise(n, rng, corpus)
        elif r < 0.63:
            x = hum(n, rng)
        elif r < 0.73:
            x = fan(n, rng)
        elif r < 0.79:
            x = clicks(n, rng)
        elif r < 0.91:
            x = coloured_noise(n, rng, rng.choice([0.0, 1.0, 2.0, rng.uniform(0, 2)]))
        else:
            x = babble(n, rng, corpus)
        out += x / np.sqrt(power(x)) * (1.0 if i == 0 else rng.uniform(0.2, 1.0))
    return out


# --- room and microphone -----------------------------------------------------

def room_impulse(rng):
    """Exponentially decaying noise tail behind a direct path; returns (full, early 50 ms)."""
    rt60 = rng.uniform(0.15, 0.9)
    n = int(min(rt60, 0.6) * RATE)
    t = np.arange(n) / RATE
    tail = rng.standard_normal(n) * np.exp(-6.9 * t / rt60)
    delay = int(rng.uniform(0.001, 0.01) * RATE)
    tail[:delay] = 0
    drr = 10 ** (rng.uniform(-3, 12) / 10)
    tail *= np.sqrt(1.0 / (drr * np.sum(tail ** 2)))
    h = tail.copy()
    h[0] = 1.0
    early = h.copy()
    early[int(0.05 * RATE):] = 0
    return h.astype(np.float32), early.astype(np.float32)


def microphone_response(rng):
    """Random tilt, high-pass and low-pass of a cheap device or phone line."""
    tilt = rng.uniform(-6, 6)  # dB per decade around 1 kHz
    hp = rng.choice([20.0, 80.0, 150.0, 300.0])
    lp = rng.choice([3400.0, 4000.0, 5500.0, 7000.0, 8000.0, 11025.0, 16000.0, 24000.0])
    order = rng.uniform(2, 8)

    def gain(f):
        g = 10 ** (tilt * np.log10(np.maximum(f, 20.0) / 1000.0) / 20)
        g = g / np.sqrt(1 + (hp / np.maximum(f, 1.0)) ** (2 * order))
        return g / np.sqrt(1 + (f / lp) ** (2 * order))
    return gain, lp


# --- examples ------------------------------------------------------------------

def speech_item(corpus, rng):
    sources = [s for s in SPEECH_WEIGHTS if s in corpus.speech]
    w = np.array([SPEECH_WEIGHTS[s] for s in sources])
    src = sources[rng.choice(len(sources), p=w / w.sum())]
    return corpus.speech[src][rng.integers(len(corpus.speech[src]))]


def make_example(corpus, rng, n, snr_db=None, kind=None, augment=True):
    """One training example of n samples, loudness-normalised like the application.

    augment=False leaves out reverberation, the microphone response, the
    loudness offset and zero-padded tails (a plain additive mixture)."""
    r = rng.random()
    kind = kind or ("noise" if r < 0.1 else "clean" if r < 0.25 else "mix")
    item = speech_item(corpus, rng)
    bandwidth = item[3]
    margin = RATE // 2
    speech = crop(corpus.read(item), n + margin, rng)
    if augment and kind != "noise" and rng.random() < 0.3:
        full, early = room_impulse(rng)
        target = fftconvolve(speech, early)[margin:margin + n]
        speech = fftconvolve(speech, full)[margin:margin + n]
    else:
        speech = speech[margin:]
        target = speech.copy()
    if kind == "noise":
        speech[:] = 0
        target[:] = 0
        bandwidth = FULL_BAND

    noise = noise_mix(n, rng, corpus) if kind != "clean" else np.zeros(n, np.float32)
    if kind == "mix":
        snr = rng.uniform(-5, 30) if snr_db is None else snr_db
        noise *= np.sqrt(power(speech) / power(noise) * 10 ** (-snr / 10))
    noisy = speech + noise

    if augment and rng.random() < 0.4:
        gain, lp = microphone_response(rng)
        noisy = shape_spectrum(noisy, gain)
        target = shape_spectrum(target, gain)
        if kind != "noise":
            bandwidth = min(bandwidth, int(lp * 1.3))

    offset = rng.uniform(-5, 5) if augment else 0.0
    g = loudness.normalisation_gain(noisy, loudness.TARGET_LUFS + offset)
    noisy, target = noisy * g, target * g
    if augment and rng.random() < 0.1:
        # The application's last segment is zero-padded.
        cut = rng.integers(n // 4, n)
        noisy[cut:] = 0
        target[cut:] = 0
    return noisy.astype(np.float32), target.astype(np.float32), bandwidth


def snr_db(speech, noise):
    return 10 * np.log10(power(speech) / power(noise))
