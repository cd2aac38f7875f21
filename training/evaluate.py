#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Evaluate the shipped model on held-out validation mixtures, against the
noisy input and FFmpeg's afftdn, and print a markdown table.

--engine cli   runs the real command-line program end to end.
--engine onnx  runs the exported model through the C++ runtime with a Python
               re-implementation of the application's loudness normalisation,
               segmentation and crossfade.
"""
import argparse
import json
import os
import subprocess
import tempfile
import time

import numpy as np
import soundfile
from scipy import signal

import data
import export
import loudness
import model as M
import prepare_data

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
RATE = 48000
SNRS = [-5, 0, 5, 10, 20]
CONDITIONS = [f"{s} dB" for s in SNRS] + ["clean", "noise only"]
OVERLAP = M.OVERLAP
HOP = M.SEGMENT - OVERLAP
HF_EDGE = 8000.0
FULL_BAND_HZ = 16000  # clean references at least this wide count for the >8 kHz figure
AFFTDN = "afftdn=nr=20:nf=-30:tn=1"


# --- evaluation material -------------------------------------------------------

def build_items(per_source=4, seed=2024, seconds=6.0):
    """Deterministic validation items: several utterances of one held-out speaker
    joined to about `seconds`, and one held-out noise file per item. Drawn from
    network 1.0.0's sources only, so that the items stay the same as the corpus grows."""
    corpus = data.Corpus("valid", sources=data.LEGACY_SPEECH + data.LEGACY_NOISE)
    corpus.noise = [n for n in corpus.noise if n[5] not in prepare_data.HELD_OUT_NOISE]
    rng = np.random.default_rng(seed)
    items = []
    for src in sorted(corpus.speech):
        by_speaker = {}
        for it in corpus.speech[src]:
            by_speaker.setdefault(it[4], []).append(it)
        speakers = sorted(by_speaker)
        for k in range(per_source):
            utts = by_speaker[speakers[rng.integers(len(speakers))]]
            parts, total, bw = [], 0, data.FULL_BAND
            for i in rng.permutation(len(utts)):
                x = corpus.read(utts[i])
                parts += [x, np.zeros(int(0.3 * RATE), np.float32)]
                total += len(x)
                bw = min(bw, utts[i][3])
                if total >= seconds * RATE:
                    break
            clean = np.concatenate(parts)[:int(seconds * 1.5 * RATE)]
            noise_item = corpus.noise[rng.integers(len(corpus.noise))]
            noise = corpus.read(noise_item)
            noise = np.tile(noise, len(clean) // len(noise) + 1)[:len(clean)]
            level = 10 ** (rng.uniform(-12, 0) / 20)
            items.append({"name": f"{src}_{k}", "clean": clean, "noise": noise, "bandwidth": bw,
                          "level": level, "noise_file": noise_item[5]})
    return items


def conditions(item):
    """(condition, input signal, clean reference) for one item."""
    clean, noise = item["clean"], item["noise"]
    peak_room = 0.9
    out = []
    for snr in SNRS:
        n = noise * np.sqrt(data.power(clean) / data.power(noise) * 10 ** (-snr / 10))
        out.append((f"{snr} dB", clean + n, clean))
    out.append(("clean", clean.copy(), clean))
    out.append(("noise only", noise / np.sqrt(data.power(noise)) * 0.05, np.zeros_like(clean)))
    scaled = []
    for name, x, ref in out:
        g = item["level"] * min(1.0, peak_room / np.abs(x).max()) if np.any(x) else 1.0
        scaled.append((name, (x * g).astype(np.float32), (ref * g).astype(np.float32)))
    return scaled


# --- metrics -------------------------------------------------------------------

def si_sdr(est, ref):
    ref = ref - ref.mean()
    est = est - est.mean()
    s = np.dot(est, ref) / (np.dot(ref, ref) + 1e-12) * ref
    return 10 * np.log10(np.dot(s, s) / (np.dot(est - s, est - s) + 1e-12) + 1e-12)


def hf_energy(x, edge=HF_EDGE):
    spectrum = np.abs(np.fft.rfft(x)) ** 2
    return float(spectrum[np.fft.rfftfreq(len(x), 1 / RATE) >= edge].sum())


def resample(x, rate_in, rate_out):
    """Band-limited resampling by truncating (or zero-extending) the spectrum."""
    return signal.resample(x, int(round(len(x) * rate_out / rate_in)))


def _stoi_frames(x, n=256, hop=128):
    w = np.hanning(n + 2)[1:-1]
    count = (len(x) - n) // hop + 1
    idx = np.arange(n)[None, :] + hop * np.arange(count)[:, None]
    return x[idx] * w


def _overlap_add(frames, hop=128):
    n = frames.shape[1]
    out = np.zeros((len(frames) - 1) * hop + n)
    for i, f in enumerate(frames):
        out[i * hop:i * hop + n] += f
    return out


STOI_SEGMENT = 30  # frames of 25.6 ms: 384 ms
STOI_DYNAMIC_RANGE = 40.0  # dB below the loudest clean frame, below which frames are dropped


# The 15 one-third octave bands from 150 Hz that both intelligibility measures use.
THIRD_OCTAVE_CENTRES = 150 * 2 ** (np.arange(15) / 3)


def third_octave_bands(freqs):
    """[bands, bins] 0/1 matrix: each band's bins between its edges, a sixth of
    an octave either side of its centre, each edge at the nearest bin."""
    bands = np.zeros((len(THIRD_OCTAVE_CENTRES), len(freqs)))
    for j, c in enumerate(THIRD_OCTAVE_CENTRES):
        bands[j, np.argmin(np.abs(freqs - c * 2 ** (-1 / 6))):np.argmin(np.abs(freqs - c * 2 ** (1 / 6)))] = 1
    return bands


def _third_octave_envelopes(clean, processed, rate):
    """The envelopes both intelligibility measures compare: 10 kHz, frames more
    than 40 dB below the loudest clean frame dropped in both signals, 15
    one-third octave bands from 150 Hz; [bands, frames] each."""
    fs, n_frame, n_fft = 10000, 256, 512
    x = resample(np.asarray(clean, np.float64), rate, fs)
    y = resample(np.asarray(processed, np.float64), rate, fs)
    xf, yf = _stoi_frames(x), _stoi_frames(y)
    energy = 20 * np.log10(np.linalg.norm(xf, axis=1) + 1e-12)
    keep = energy > energy.max() - STOI_DYNAMIC_RANGE
    x, y = _overlap_add(xf[keep]), _overlap_add(yf[keep])
    bands = third_octave_bands(np.fft.rfftfreq(n_fft, 1 / fs))
    return [np.sqrt(np.abs(np.fft.rfft(_stoi_frames(s, n_frame), n_fft, axis=1)) ** 2 @ bands.T).T for s in (x, y)]


def stoi(clean, processed, rate=RATE):
    """Short-time objective intelligibility (Taal et al., 2011)."""
    env_x, env_y = _third_octave_envelopes(clean, processed, rate)
    seg = STOI_SEGMENT
    if env_x.shape[1] < seg:
        return float("nan")
    clip = 10 ** (15.0 / 20)  # signal-to-distortion ratio floor of -15 dB
    scores = []
    for m in range(seg, env_x.shape[1] + 1):
        xs, ys = env_x[:, m - seg:m], env_y[:, m - seg:m]
        alpha = np.linalg.norm(xs, axis=1, keepdims=True) / (np.linalg.norm(ys, axis=1, keepdims=True) + 1e-12)
        yp = np.minimum(ys * alpha, xs * (1 + clip))
        xc = xs - xs.mean(1, keepdims=True)
        yc = yp - yp.mean(1, keepdims=True)
        scores.append(np.sum(xc * yc, 1) / (np.linalg.norm(xc, axis=1) * np.linalg.norm(yc, axis=1) + 1e-12))
    return float(np.mean(scores))


def estoi(clean, processed, rate=RATE):
    """Extended short-time objective intelligibility (Jensen and Taal, 2016): the
    same one-third octave envelopes as STOI, each 384 ms segment normalised over
    time per band and then over bands per frame, without clipping."""
    env_x, env_y = _third_octave_envelopes(clean, processed, rate)
    seg = STOI_SEGMENT
    if env_x.shape[1] < seg:
        return float("nan")

    def normalise(m, axis):
        m = m - m.mean(axis, keepdims=True)
        return m / (np.linalg.norm(m, axis=axis, keepdims=True) + 1e-12)
    scores = []
    for m in range(seg, env_x.shape[1] + 1):
        xs = normalise(normalise(env_x[:, m - seg:m], 1), 0)
        ys = normalise(normalise(env_y[:, m - seg:m], 1), 0)
        scores.append(np.sum(xs * ys) / seg)
    return float(np.mean(scores))


# --- engines -------------------------------------------------------------------

def crossfade_curves(length):
    """The application's complementary curves (rising, falling) over the overlap."""
    half = float(length >> 1)
    x = np.arange(length) / half

    def fade(v):
        v = np.clip(v, -1, 1)
        return 0.5 + 0.5625 * np.sin(np.pi / 2 * v) + 0.0625 * np.sin(3 * np.pi / 2 * v)
    return fade(x - 1).astype(np.float32), fade(1 - x).astype(np.float32)


def segments_of(x):
    """Full segments at the application's hop, then the zero-padded rest."""
    if len(x) < M.SEGMENT:
        seg = np.zeros(M.SEGMENT, np.float32)
        seg[:len(x)] = x
        return [seg]
    full = (len(x) - M.SEGMENT) // HOP + 1
    segs = [x[i * HOP:i * HOP + M.SEGMENT] for i in range(full)]
    last = np.zeros(M.SEGMENT, np.float32)
    rest = x[full * HOP:]
    last[:len(rest)] = rest
    return segs + [last]


def join(x, enhanced_segments):
    """Crossfade enhanced segments back into one signal as long as x."""
    if len(x) < M.SEGMENT:
        return enhanced_segments[0][:len(x)]
    rise, fall = crossfade_curves(OVERLAP)
    out = np.zeros(len(x), np.float32)
    for i, seg in enumerate(enhanced_segments):
        start = i * HOP
        end = min(len(x), start + M.SEGMENT)
        if i == 0:
            out[start:end] = seg[:end - start]
            continue
        out[start + OVERLAP:end] = seg[OVERLAP:end - start]
        out[start:start + OVERLAP] = seg[:OVERLAP] * rise + out[start:start + OVERLAP] * fall
    return out


def run_onnx(model_path, signals):
    """The application's processing of whole signals, model via the C++ runtime."""
    gains, segs, counts = [], [], []
    for x in signals:
        g = loudness.normalisation_gain(x)
        gains.append(g)
        s = segments_of(x * g)
        segs += s
        counts.append(len(s))
    t0 = time.time()
    out, _ = export.run_ort(model_path, np.stack(segs))
    elapsed = time.time() - t0
    enhanced = np.stack(segs) - out
    results, k = [], 0
    for x, g, c in zip(signals, gains, counts):
        results.append(join(x * g, list(enhanced[k:k + c])) / g)
        k += c
    return results, elapsed


def write_wav(path, x):
    """32-bit float mono WAV."""
    soundfile.write(path, np.asarray(x, np.float32), RATE, subtype="FLOAT")


def read_wav(path):
    """Mono or first channel of a WAV file, as float32."""
    return soundfile.read(path, dtype="float32", always_2d=True)[0][:, 0]


def default_cli():
    """build/src/cli/vesh-cli, else the first other build tree's."""
    candidates = [os.path.join(ROOT, "build", "src", "cli", "vesh-cli")]
    candidates += sorted(os.path.join(ROOT, d, "src", "cli", "vesh-cli") for d in os.listdir(ROOT)
                         if d.startswith("build"))
    return next((c for c in candidates if os.access(c, os.X_OK)), candidates[0])


def run_cli(cli, model_path, signals, tmp):
    src_dir, out_dir = os.path.join(tmp, "cli_in"), os.path.join(tmp, "cli_out")
    os.makedirs(src_dir)
    os.makedirs(out_dir)
    paths = []
    for i, x in enumerate(signals):
        paths.append(os.path.join(src_dir, f"s{i:04d}.wav"))
        write_wav(paths[-1], x)
    t0 = time.time()
    # The program loads the model named by VESH_MODEL_PATH instead of its bundled one.
    env = dict(os.environ, VESH_MODEL_PATH=os.path.abspath(model_path))
    subprocess.run([cli, "--quiet", "--format", "wav", "--bit-depth", "32", "--rate", "48000",
                    "--if-exists", "replace", "-o", out_dir] + paths, check=True, env=env)
    elapsed = time.time() - t0
    return [read_wav(os.path.join(out_dir, os.path.basename(p))) for p in paths], elapsed


def _afftdn(x, tmp, name, pad=0):
    src, dst = os.path.join(tmp, name + ".wav"), os.path.join(tmp, name + "_out.wav")
    write_wav(src, np.concatenate([x, np.zeros(pad, np.float32)]))
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", src, "-af", AFFTDN,
                    "-c:a", "pcm_f32le", dst], check=True)
    return read_wav(dst)


def afftdn_delay(tmp):
    """afftdn delays its output; measure by how much on a speech-like test signal."""
    rng = np.random.default_rng(0)
    t = np.arange(2 * RATE) / RATE
    x = (np.sin(2 * np.pi * 220 * t) * (np.sin(2 * np.pi * 2 * t) > 0) * 0.3
         + 0.003 * rng.standard_normal(len(t))).astype(np.float32)
    y = _afftdn(x, tmp, "delay")
    cc = signal.correlate(y, x, method="fft")
    lags = signal.correlation_lags(len(y), len(x))
    early = (lags >= 0) & (lags < len(x) // 2)
    return int(lags[early][np.argmax(cc[early])])


def run_afftdn(signals, tmp):
    """FFmpeg's classical denoiser, its output re-aligned with the input."""
    delay = afftdn_delay(tmp)
    return [_afftdn(x, tmp, f"a{i:04d}", pad=delay)[delay:delay + len(x)] for i, x in enumerate(signals)]


# --- report ----------------------------------------------------------------------

def score(cond, x, ref, bandwidth):
    """Metrics of one output x against its clean reference."""
    if cond == "noise only":
        return {"reduction_db": None}
    r = {"si_sdr": si_sdr(x, ref), "stoi": stoi(ref, x)}
    if bandwidth >= FULL_BAND_HZ:
        r["hf_db"] = 10 * np.log10((hf_energy(x) + 1e-12) / (hf_energy(ref) + 1e-12))
    return r


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--engine", choices=["cli", "onnx"], default="onnx")
    ap.add_argument("--model", default=export.SHIPPED)
    ap.add_argument("--cli", default=None, help="the command-line program (default: found in build*/)")
    ap.add_argument("--per-source", type=int, default=4)
    ap.add_argument("--json", default=None, help="also write the figures here")
    args = ap.parse_args()

    items = build_items(args.per_source)
    cases = [(it, c, x, ref) for it in items for c, x, ref in conditions(it)]
    signals = [x for _, _, x, _ in cases]
    with tempfile.TemporaryDirectory() as tmp:
        if args.engine == "cli":
            cli = args.cli or default_cli()
            outputs, elapsed = run_cli(cli, args.model, signals, tmp)
            engine = f"vesh-cli end to end ({os.path.relpath(cli, ROOT)})"
        else:
            outputs, elapsed = run_onnx(args.model, signals)
            engine = "ONNX model via C++ runtime with Python re-implementation of the application's join"
        baseline = run_afftdn(signals, tmp)
    audio_s = sum(len(x) for x in signals) / RATE

    rows = {}
    for (it, cond, x, ref), y, a in zip(cases, outputs, baseline):
        row = rows.setdefault(cond, {"input": [], "afftdn": [], "model": [], "reduction": []})
        if cond == "noise only":
            e_in = data.power(x)
            row["reduction"].append((10 * np.log10(e_in / data.power(a)), 10 * np.log10(e_in / data.power(y))))
            continue
        if cond == "clean":
            # Clean input: the reference is the input itself.
            row["model"].append(score(cond, y, x, it["bandwidth"]))
            row["afftdn"].append(score(cond, a, x, it["bandwidth"]))
            row["input"].append(score(cond, x, x, it["bandwidth"]))
            continue
        row["input"].append(score(cond, x, ref, it["bandwidth"]))
        row["afftdn"].append(score(cond, a, ref, it["bandwidth"]))
        row["model"].append(score(cond, y, ref, it["bandwidth"]))

    def mean(rs, key):
        v = [r[key] for r in rs if key in r and r[key] is not None and np.isfinite(r[key])]
        return float(np.mean(v)) if v else float("nan")

    summary = {"engine": engine, "items": len(items), "audio_seconds": audio_s,
               "real_time_factor": elapsed / audio_s, "afftdn": AFFTDN, "conditions": {}}
    lines = [f"Engine: {engine}. {len(items)} held-out items x {len(CONDITIONS)} conditions, "
             f"{audio_s:.0f} s of audio, processing real-time factor {elapsed / audio_s:.4f}.", "",
             "| condition | SI-SDR in | afftdn | model | STOI in | afftdn | model | >8 kHz in (dB) | afftdn | model |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for cond in CONDITIONS:
        row = rows[cond]
        if cond == "noise only":
            red = np.array(row["reduction"])
            summary["conditions"][cond] = {"afftdn_reduction_db": float(red[:, 0].mean()),
                                           "model_reduction_db": float(red[:, 1].mean())}
            lines.append(f"| noise only: level reduction | | {red[:, 0].mean():.1f} dB | {red[:, 1].mean():.1f} dB "
                         "| | | | | | |")
            continue
        figs = {who: {k: mean(row[who], k) for k in ("si_sdr", "stoi", "hf_db")} for who in ("input", "afftdn", "model")}
        summary["conditions"][cond] = figs
        label = "clean (vs input)" if cond == "clean" else cond

        def cell(w, k):
            # Clean input compared with itself says nothing.
            return "–" if cond == "clean" and w == "input" else f"{figs[w][k]:.{2 if k == 'stoi' else 1}f}"
        lines.append(f"| {label} | " + " | ".join(cell(w, k) for k in ("si_sdr", "stoi", "hf_db")
                                                   for w in ("input", "afftdn", "model")) + " |")
    gain = np.mean([summary["conditions"][f"{s} dB"]["model"]["si_sdr"] - summary["conditions"][f"{s} dB"]["input"]["si_sdr"]
                    for s in (0, 5, 10)])
    summary["si_sdr_improvement_0_10"] = float(gain)
    lines += ["", f"Mean SI-SDR improvement over input SNRs 0-10 dB: {gain:.2f} dB. "
              f">8 kHz: energy above 8 kHz relative to the clean reference, full-band items only. "
              f"afftdn settings: {AFFTDN}."]
    print("\n".join(lines))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(summary, f, indent=1)


if __name__ == "__main__":
    main()
