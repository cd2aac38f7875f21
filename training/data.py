# SPDX-License-Identifier: GPL-3.0-or-later
"""Corpus access and on-the-fly mixture generation (numpy and scipy).

Each example is (noisy, target, bandwidth_hz): the network's input, the speech
it should keep, and the highest frequency where the target is trustworthy. With
the "full_band_target" augmentation, speech is cut at its measured bandwidth
before mixing, so the target is exact over the whole band (bandwidth_hz is
24 kHz); without it, the clean source's measured bandwidth (the loss ignores
bins above it).
"""
import os

import numpy as np
from scipy import signal

import loudness

HERE = os.path.dirname(os.path.abspath(__file__))
CACHE = os.path.join(HERE, "cache")
RATE = 48000
FULL_BAND = RATE // 2

# Sampling weights of the speech sources. The full-band ones (vctk, tuxpaint,
# ktuberling, 0ad) are small but are the only teachers above 8 kHz, so they are
# drawn more than their size; speechocean762 brings the most voices (248,
# children among them) and is the largest source.
SPEECH_WEIGHTS = {"vctk_p239": 0.12, "tuxpaint_desc": 0.14, "ktuberling": 0.04, "0ad_voice": 0.01,
                  "alphanumeric_accents": 0.14, "malayalam_msc": 0.20, "speechocean762": 0.35}

# The sources network 1.0.0 was trained and evaluated on: the held-out
# evaluation mixtures are drawn from these alone so that figures stay comparable.
LEGACY_SPEECH = ("alphanumeric_accents", "malayalam_msc", "vctk_p239")
LEGACY_NOISE = ("berlin_noise", "blanket", "esc10", "sonic_pi_cc0", "speech_commands_bg")

# Augmentations of make_example, each switchable (train.py --without NAME).
AUGMENTATIONS = ("speed", "colour", "reverb", "dereverberation", "microphone", "band_limit",
                 "new_noises", "vocal_noises", "modulation", "snr_weighting", "concatenate",
                 "full_band_target", "drifting_hum")


class Corpus:
    """Decoded audio and the split written by prepare_data.py."""

    def __init__(self, split, cache=CACHE, sources=None):
        self.audio = {}
        self.speech = {}
        self.noise = []
        with open(os.path.join(cache, "index.tsv")) as f:
            header = f.readline().rstrip("\n").split("\t")
            for line in f:
                r = dict(zip(header, line.rstrip("\n").split("\t")))
                if r["split"] != split or (sources is not None and r["source"] not in sources):
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


# --- synthetic noise ---------------------------------------------------------

def coloured_noise(n, rng, exponent):
    """Noise with power ~ 1/f^exponent (0 white, 1 pink, 2 brown)."""
    w = rng.standard_normal(n).astype(np.float32)
    return shape_spectrum(w, lambda f: 1.0 / np.maximum(f, 20.0) ** (exponent / 2))


def hum(n, rng, drifting=False):
    """Mains hum: 50 or 60 Hz and harmonics. Drifting, the grid frequency wanders
    by up to 0.1 Hz and the level by up to 6 dB over seconds, and a third of the
    hums are buzz: harmonics in phase up to 12 kHz, as from dimmers and ground loops."""
    f0 = rng.choice([50.0, 60.0]) * rng.uniform(0.995, 1.005)
    t = np.arange(n) / RATE
    out = np.zeros(n)
    if not drifting:
        # Buzzy hum (rectified, ground loops) has slowly decaying harmonics.
        decay = rng.uniform(0.3, 1.5)
        for k in range(1, int(min(40, 8000 // f0)) + 1):
            if rng.random() < 0.3 and k > 1:
                continue
            out += k ** -decay * np.sin(2 * np.pi * k * f0 * t + rng.uniform(0, 2 * np.pi))
        return out.astype(np.float32)
    wander = 2 * slow_envelope(n, rng, rng.uniform(0.2, 1.0), 1.0) - 1
    phase = 2 * np.pi * np.cumsum(f0 + rng.uniform(0.0, 0.1) * wander) / RATE
    buzz = rng.random() < 1 / 3
    top, decay = (12000, rng.uniform(0.5, 1.2)) if buzz else (8000, rng.uniform(0.3, 1.5))
    offset = rng.uniform(0, 2 * np.pi)
    for k in range(1, int(min(240 if buzz else 40, top // f0)) + 1):
        if not buzz and k > 1 and rng.random() < 0.3:
            continue
        start = k * offset if buzz else rng.uniform(0, 2 * np.pi)
        out += k ** -decay * np.sin(k * phase + start)
    return (out * slow_envelope(n, rng, rng.uniform(0.1, 0.5), 0.5)).astype(np.float32)


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


def looped(x, n):
    """x repeated until it holds at least n samples."""
    return np.tile(x, n // len(x) + 1) if len(x) < n else x


def real_noise(n, rng, corpus):
    """A random noise file, looped when shorter than n."""
    item = corpus.noise[rng.integers(len(corpus.noise))]
    return crop(looped(corpus.read(item), n), n, rng)


def vocal_noise(n, rng, corpus):
    """A noise file of VOCAL_NOISE, cropped around its loudest moment: these
    files are short calls in near silence, which a random crop mostly misses."""
    pool = [item for item in corpus.noise if any(k in item[5] for k in VOCAL_NOISE)]
    if not pool:
        return real_noise(n, rng, corpus)
    x = looped(corpus.read(pool[rng.integers(len(pool))]), n)
    peak = int(np.argmax(np.abs(x)))
    start = int(np.clip(peak - rng.integers(0, n), 0, len(x) - n))
    return x[start:start + n]


def smooth_spectrum_noise(n, rng):
    """Stationary noise through a random smooth spectrum: dB values at log-spaced
    frequencies, interpolated in log frequency (ventilation, machines, rooms)."""
    knots = np.geomspace(20, RATE / 2, rng.integers(5, 12))
    levels = np.cumsum(rng.normal(0, 6, len(knots)))

    def gain(f):
        db = np.interp(np.log(np.maximum(f, 20.0)), np.log(knots), levels)
        return 10 ** (db / 20)
    return shape_spectrum(rng.standard_normal(n).astype(np.float32), gain)


def whine(n, rng):
    """One to three slowly drifting tones with a few harmonics (coil whine,
    monitors, motors), 500 Hz to 16 kHz."""
    t = np.arange(n) / RATE
    out = np.zeros(n)
    for _ in range(rng.integers(1, 4)):
        f0 = np.exp(rng.uniform(np.log(500), np.log(16000)))
        drift = 1 + rng.uniform(0, 0.01) * np.sin(2 * np.pi * rng.uniform(0.05, 1) * t + rng.uniform(0, 6.3))
        phase = 2 * np.pi * np.cumsum(f0 * drift) / RATE
        for k in range(1, rng.integers(1, 4) + 1):
            if k * f0 < RATE / 2 - 500:
                out += rng.uniform(0.2, 1.0) / k * np.sin(k * phase + rng.uniform(0, 6.3))
    return out.astype(np.float32)


def rumble(n, rng):
    """Traffic-like low rumble: brown noise below 80-400 Hz, swelling as
    vehicles pass."""
    corner = rng.uniform(80, 400)
    x = shape_spectrum(rng.standard_normal(n).astype(np.float32),
                       lambda f: 1.0 / np.maximum(f, 15.0) / np.sqrt(1 + (f / corner) ** 4))
    return x * slow_envelope(n, rng, rng.uniform(0.05, 0.5), rng.uniform(0.3, 0.9))


def transients(n, rng):
    """Knocks, slams and thuds: sparse decaying bursts of coloured noise, louder
    and longer than clicks."""
    out = np.zeros(n, np.float32)
    for _ in range(rng.integers(1, 6)):
        length = int(rng.uniform(0.02, 0.25) * RATE)
        s = rng.integers(0, max(1, n - length))
        burst = rng.standard_normal(length) * np.exp(-np.arange(length) / (length / rng.uniform(3, 8)))
        corner = rng.uniform(200, 6000)
        burst = shape_spectrum(burst.astype(np.float32), lambda f: 1 / np.sqrt(1 + (f / corner) ** 2))
        out[s:s + length] += burst[:n - s] * rng.uniform(0.3, 1.0)
    return out


def slow_envelope(n, rng, rate_hz, depth):
    """A positive envelope varying at about rate_hz, between 1 - depth and 1."""
    steps = max(2, int(n / RATE * rate_hz) + 2)
    knots = rng.uniform(1 - depth, 1, steps)
    env = np.interp(np.arange(n), np.linspace(0, n - 1, steps), knots)
    return env.astype(np.float32)


def modulate(x, rng):
    """Amplitude modulation: a sinusoidal tremolo (0.2-8 Hz) or a random smooth envelope."""
    n = len(x)
    if rng.random() < 0.5:
        t = np.arange(n) / RATE
        depth = rng.uniform(0.3, 1.0)
        env = 1 - depth * 0.5 * (1 + np.sin(2 * np.pi * rng.uniform(0.2, 8) * t + rng.uniform(0, 6.3)))
        return (x * env).astype(np.float32)
    return x * slow_envelope(n, rng, rng.uniform(0.5, 6), rng.uniform(0.5, 1.0))


# Noise families and their shares; the last five are left out without "new_noises".
NOISE_FAMILIES = (("real", 0.50), ("hum", 0.06), ("fan", 0.07), ("clicks", 0.04), ("coloured", 0.06),
                  ("babble", 0.07), ("smooth", 0.07), ("transients", 0.04), ("whine", 0.04), ("rumble", 0.05))
LEGACY_FAMILIES = ("real", "hum", "fan", "clicks", "coloured", "babble")
# Animal and human non-speech calls share speech's harmonics and onsets and
# pass as speech unless the network meets them often; "vocal" draws them
# from the real noise files whose path names one of these classes.
VOCAL_FAMILY = ("vocal", 0.10)
VOCAL_NOISE = ("Dog bark", "Person sneeze", "Baby cry", "Rooster")


def one_noise(family, n, rng, corpus, augment=frozenset(AUGMENTATIONS)):
    if family == "real":
        return real_noise(n, rng, corpus)
    if family == "coloured":
        return coloured_noise(n, rng, rng.choice([0.0, 1.0, 2.0, rng.uniform(0, 2)]))
    if family == "babble":
        return babble(n, rng, corpus)
    if family == "vocal":
        return vocal_noise(n, rng, corpus)
    if family == "hum":
        return hum(n, rng, "drifting_hum" in augment)
    return {"fan": fan, "clicks": clicks, "smooth": smooth_spectrum_noise,
            "transients": transients, "whine": whine, "rumble": rumble}[family](n, rng)


def noise_mix(n, rng, corpus, augment=frozenset(AUGMENTATIONS)):
    """One or two noises, real or synthesised, summed with random weights."""
    families = [(f, p) for f, p in NOISE_FAMILIES if "new_noises" in augment or f in LEGACY_FAMILIES]
    if "vocal_noises" in augment:
        families.append(VOCAL_FAMILY)
    names = [f for f, _ in families]
    p = np.array([w for _, w in families])
    out = np.zeros(n, np.float32)
    for i in range(1 if rng.random() < 0.7 else 2):
        x = one_noise(names[rng.choice(len(names), p=p / p.sum())], n, rng, corpus, augment)
        if "modulation" in augment and rng.random() < 0.2:
            x = modulate(x, rng)
        out += x / np.sqrt(power(x)) * (1.0 if i == 0 else rng.uniform(0.2, 1.0))
    return out


# --- room and microphone -----------------------------------------------------

def room_impulse(rng, variety=True):
    """Exponentially decaying noise tail behind a direct path; returns (full, early 50 ms).

    With variety, rooms range from small and dry to large and live, and the tail
    loses its high frequencies faster in some (absorbent rooms)."""
    rt60 = rng.uniform(0.1, 1.3) if variety else rng.uniform(0.15, 0.9)
    n = int(min(rt60, 0.8 if variety else 0.6) * RATE)
    t = np.arange(n) / RATE
    tail = rng.standard_normal(n) * np.exp(-6.9 * t / rt60)
    if variety and rng.random() < 0.5:
        corner = rng.uniform(1500, 8000)
        tail = shape_spectrum(tail.astype(np.float32), lambda f: 1 / np.sqrt(1 + (f / corner) ** 2)).astype(np.float64)
    delay = int(rng.uniform(0.001, 0.01) * RATE)
    tail[:delay] = 0
    drr = 10 ** (rng.uniform(-3, 15 if variety else 12) / 10)
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


def speech_colour(rng):
    """A talker's or a microphone placement's colouration of the voice alone:
    two or three broad peaks and dips of up to 8 dB and a gentle tilt."""
    bumps = [(np.exp(rng.uniform(np.log(150), np.log(8000))), rng.uniform(0.3, 1.5), rng.uniform(-8, 8))
             for _ in range(rng.integers(2, 4))]
    tilt = rng.uniform(-3, 3)

    def gain(f):
        octaves = np.log2(np.maximum(f, 20.0) / 1000.0)
        db = tilt * octaves
        for centre, width, level in bumps:
            db = db + level * np.exp(-0.5 * ((octaves - np.log2(centre / 1000.0)) / width) ** 2)
        return 10 ** (db / 20)
    return gain


# Band limits of real recordings: telephone, narrow-band codecs, 16 kHz
# recordings (the most common), 22.05/24/32 kHz recordings and lossy encoders'
# low-pass. Input and target share the limit, so above it both are empty.
BAND_LIMITS = ((3400.0, 0.08), (4000.0, 0.06), (5500.0, 0.06), (7000.0, 0.08), (8000.0, 0.40),
               (11025.0, 0.10), (12000.0, 0.05), (16000.0, 0.12), (19000.0, 0.05))


def steep_lowpass(cutoff):
    """A low-pass like a resampler's: a raised-cosine edge over the 4 % below cutoff."""
    def gain(f):
        g = np.clip((cutoff - f) / (0.04 * cutoff), 0, 1)
        return 0.5 - 0.5 * np.cos(np.pi * g)
    return gain


def band_limit(rng):
    """A band limit of a real recording, as (gain, cutoff)."""
    cutoffs = np.array([c for c, _ in BAND_LIMITS])
    p = np.array([w for _, w in BAND_LIMITS])
    cutoff = float(cutoffs[rng.choice(len(cutoffs), p=p / p.sum())])
    lowpass = steep_lowpass(cutoff)
    if cutoff != 3400.0:
        return lowpass, cutoff
    # Telephone band: 300 Hz high-pass as well.
    return (lambda f: lowpass(f) * np.clip((f - 210.0) / 90.0, 0, 1)), cutoff


def resample_speed(x, factor):
    """Speed perturbation: x played factor times faster (pitch and tempo
    together), by band-limited resampling of its spectrum (the factor is any
    real number, so not a ratio for a polyphase resampler)."""
    n_out = max(1, int(round(len(x) / factor)))
    return signal.resample(np.asarray(x, np.float64), n_out).astype(np.float32)


# --- examples ------------------------------------------------------------------

def speech_item(corpus, rng):
    sources = [s for s in SPEECH_WEIGHTS if s in corpus.speech]
    w = np.array([SPEECH_WEIGHTS[s] for s in sources])
    src = sources[rng.choice(len(sources), p=w / w.sum())]
    return corpus.speech[src][rng.integers(len(corpus.speech[src]))]


def speech_clip(corpus, rng, n, concatenate):
    """Speech for an n-sample example and its bandwidth. Short clips (single
    words of some sources) are joined with short pauses to other clips of the
    same source, so that an example holds speech most of the time."""
    item = speech_item(corpus, rng)
    x, bandwidth = corpus.read(item), item[3]
    if not concatenate or len(x) >= 0.6 * n:
        return x, bandwidth
    parts, total = [x], len(x)
    pool = corpus.speech[item[0]]
    while total < n:
        other = pool[rng.integers(len(pool))]
        gap = np.zeros(int(rng.uniform(0.05, 0.4) * RATE), np.float32)
        y = corpus.read(other)
        parts += [gap, y]
        total += len(gap) + len(y)
        bandwidth = min(bandwidth, other[3])
    return np.concatenate(parts), bandwidth


def draw_snr(rng, weighted):
    """Input SNR in dB: weighted towards -5...15 dB, where real recordings sit."""
    if not weighted:
        return rng.uniform(-5, 30)
    return rng.uniform(-5, 15) if rng.random() < 0.75 else rng.uniform(15, 30)


def make_example(corpus, rng, n, snr_db=None, kind=None, augment=True):
    """One training example of n samples, loudness-normalised like the application.

    augment is True (every augmentation of AUGMENTATIONS), a set of their names,
    or False: a plain additive mixture without reverberation, microphone
    response, loudness offset and zero-padded tails."""
    on = frozenset(AUGMENTATIONS) if augment is True else frozenset(augment or ())
    r = rng.random()
    kind = kind or ("noise" if r < 0.1 else "clean" if r < 0.25 else "mix")
    margin = RATE // 2
    speech, bandwidth = speech_clip(corpus, rng, n + margin, "concatenate" in on)
    if "speed" in on and rng.random() < 0.5:
        factor = rng.uniform(0.88, 1.12)
        speech = resample_speed(crop(speech, int((n + margin) * factor) + 1, rng), factor)
        bandwidth = min(FULL_BAND, int(bandwidth * factor))
    speech = crop(speech, n + margin, rng)
    if "full_band_target" in on and bandwidth < FULL_BAND - 500:
        # What lies above a band-limited recording's bandwidth is codec residue
        # or hiss, not voice: cut it, so that above the bandwidth the input
        # holds noise alone and the target is exact over the whole band.
        speech = shape_spectrum(speech, steep_lowpass(bandwidth))
    if "colour" in on and kind != "noise" and rng.random() < 0.5:
        speech = shape_spectrum(speech, speech_colour(rng))
    if "reverb" in on and kind != "noise" and rng.random() < (0.35 if augment is True else 0.3):
        full, early = room_impulse(rng, variety=augment is True)
        reverberant = signal.fftconvolve(speech, full)[margin:margin + n]
        # With dereverberation the target is the direct path and early
        # reflections alone; without it the room stays, as it stays in the
        # reference of a real recording, and only the noise is to go.
        target = (signal.fftconvolve(speech, early)[margin:margin + n] if "dereverberation" in on
                  else reverberant.copy())
        speech = reverberant
    else:
        speech = speech[margin:]
        target = speech.copy()
    if kind == "noise":
        speech[:] = 0
        target[:] = 0
        bandwidth = FULL_BAND

    noise = noise_mix(n, rng, corpus, on) if kind != "clean" else np.zeros(n, np.float32)
    if kind == "mix":
        snr = draw_snr(rng, "snr_weighting" in on) if snr_db is None else snr_db
        noise *= np.sqrt(power(speech) / power(noise) * 10 ** (-snr / 10))
    noisy = speech + noise

    if "microphone" in on and rng.random() < (0.3 if augment is True else 0.4):
        gain, lp = microphone_response(rng)
        noisy = shape_spectrum(noisy, gain)
        target = shape_spectrum(target, gain)
        if kind != "noise":
            bandwidth = min(bandwidth, int(lp * 1.3))
    if "band_limit" in on and rng.random() < 0.3:
        gain, cutoff = band_limit(rng)
        noisy = shape_spectrum(noisy, gain)
        target = shape_spectrum(target, gain)
        bandwidth = min(bandwidth, int(cutoff))

    offset = rng.uniform(-5, 5) if on else 0.0
    g = loudness.normalisation_gain(noisy, loudness.TARGET_LUFS + offset)
    noisy, target = noisy * g, target * g
    if on and rng.random() < 0.1:
        # The application's last segment is zero-padded.
        cut = rng.integers(n // 4, n)
        noisy[cut:] = 0
        target[cut:] = 0
    if "full_band_target" in on:
        bandwidth = FULL_BAND
    return noisy.astype(np.float32), target.astype(np.float32), bandwidth


def snr_db(speech, noise):
    return 10 * np.log10(power(speech) / power(noise))
