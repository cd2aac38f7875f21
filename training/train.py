#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Train the enhancer on on-the-fly mixtures; resumable from runs/<name>/last.pt.

Batch k is generated from the seed and k alone, so a resumed run sees the same
data as an uninterrupted one.
"""
import argparse
import json
import math
import os
import sys
import time

import numpy as np
import torch

import data
import evaluate
import model as M

HERE = os.path.dirname(os.path.abspath(__file__))
RESOLUTIONS = [(512, 128), (960, 240), (2048, 512)]
COMPRESS = 0.3


def spectral_loss(est, ref, bandwidth, under_weight=0.0, complex_weight=0.3):
    """Multi-resolution compressed-magnitude + compressed-complex loss, ignoring
    bins above each example's trustworthy bandwidth. With under_weight, a bin
    whose output is weaker than the target costs (1 + under_weight) times as
    much: removing speech harms intelligibility more than leaving as much noise.
    complex_weight weighs the compressed-complex term, the only one that sees
    phase within a bin."""
    total = 0.0
    for n_fft, hop in RESOLUTIONS:
        win = torch.hann_window(n_fft, device=est.device)
        E = torch.stft(est, n_fft, hop, window=win, return_complex=True)
        R = torch.stft(ref, n_fft, hop, window=win, return_complex=True)
        freqs = torch.arange(E.shape[1], dtype=torch.float32, device=est.device) * M.RATE / n_fft
        mask = (freqs[None, :] <= bandwidth[:, None]).float()[:, :, None]
        # |X| via sqrt(re^2 + im^2 + eps): the gradient of abs/angle at 0 is NaN.
        ea = torch.sqrt(E.real ** 2 + E.imag ** 2 + 1e-12)
        ra = torch.sqrt(R.real ** 2 + R.imag ** 2 + 1e-12)
        gap = ea ** COMPRESS - ra ** COMPRESS
        mag = gap ** 2 * (1 + under_weight * (gap < 0).float())
        diff = E * ea ** (COMPRESS - 1) - R * ra ** (COMPRESS - 1)
        cplx = diff.real ** 2 + diff.imag ** 2
        denom = mask.sum() * E.shape[2]
        total = total + ((mag + complex_weight * cplx) * mask).sum() / denom
    return total / len(RESOLUTIONS)


def band_snr_loss(est, ref, bandwidth, noisy=None):
    """Negative SNR in dB over bins up to each example's bandwidth. It rewards
    what SI-SDR measures (energy-weighted error), which the compressed spectral
    loss underweights; the 1e-4 terms cap it at 40 dB so clean-only examples do
    not dominate. With `noisy`, examples without speech add their residual level
    relative to the input (in dB), so noise-only input is pushed toward silence
    as hard as speech is pushed toward the target."""
    E, R = torch.fft.rfft(est), torch.fft.rfft(ref)
    freqs = torch.fft.rfftfreq(est.shape[-1], 1 / M.RATE, device=est.device)
    mask = (freqs[None, :] <= bandwidth[:, None]).float()
    ps = (R.real ** 2 + R.imag ** 2).mul(mask).sum(-1)
    diff = E - R
    pe = (diff.real ** 2 + diff.imag ** 2).mul(mask).sum(-1)
    speech = ps > 1e-6 * ref.shape[-1]
    terms = [-10 * torch.log10(ps[speech] / (pe[speech] + 1e-4 * ps[speech]))]
    if noisy is not None:
        N = torch.fft.rfft(noisy[~speech])
        pn = (N.real ** 2 + N.imag ** 2).mul(mask[~speech]).sum(-1)
        quiet = pn > 0
        terms.append(10 * torch.log10(pe[~speech][quiet] / pn[quiet] + 1e-4))
    terms = torch.cat(terms)
    return terms.mean() if len(terms) else est.sum() * 0


# The devset's intelligibility measure's bands at the training rate, on 25.6 ms
# frames and 384 ms segments.
ENVELOPE_FRAME, ENVELOPE_FFT = 1228, 2048
ENVELOPE_BANDS = torch.from_numpy(
    evaluate.third_octave_bands(np.fft.rfftfreq(ENVELOPE_FFT, 1 / M.RATE)).T.astype(np.float32))
ENVELOPE_TOP = evaluate.THIRD_OCTAVE_CENTRES[-1] * 2 ** (1 / 6)  # upper edge of the top band, Hz


def intelligibility_loss(est, ref, bandwidth):
    """One minus the envelope correlation of extended STOI, differentiable: each
    segment's band envelopes normalised over time per band, then over bands per
    frame, correlated frame by frame. Frames more than 40 dB below the example's
    loudest clean frame do not count, as the measure drops them. Examples
    without speech, or band-limited below the top band, are left out."""
    speech = (ref.pow(2).sum(-1) > 1e-6 * ref.shape[-1]) & (bandwidth >= ENVELOPE_TOP)
    if not speech.any():
        return est.sum() * 0
    est, ref = est[speech], ref[speech]
    win = torch.hann_window(ENVELOPE_FRAME, device=est.device)
    hop = ENVELOPE_FRAME // 2

    def envelopes(x):
        X = torch.stft(x, ENVELOPE_FFT, hop, ENVELOPE_FRAME, win, center=False, return_complex=True)
        power = (X.real ** 2 + X.imag ** 2).transpose(1, 2) @ ENVELOPE_BANDS.to(x.device)
        return torch.sqrt(power + 1e-10).unfold(1, evaluate.STOI_SEGMENT, 1)  # [B, segments, bands, frames]

    def normalise(m, dim):
        m = m - m.mean(dim, keepdim=True)
        return m / (m.norm(dim=dim, keepdim=True) + 1e-6)
    xs = normalise(normalise(envelopes(ref), 3), 2)
    ys = normalise(normalise(envelopes(est), 3), 2)
    offset = (ENVELOPE_FFT - ENVELOPE_FRAME) // 2  # where torch.stft puts the shorter window
    frames = ref.unfold(1, ENVELOPE_FFT, hop)[..., offset:offset + ENVELOPE_FRAME]
    level = 10 * torch.log10(frames.pow(2).sum(-1) + 1e-12)
    loud = (level > level.amax(1, keepdim=True) - evaluate.STOI_DYNAMIC_RANGE).float().unfold(1, evaluate.STOI_SEGMENT, 1)
    r = (xs * ys).sum(2)
    return 1 - (r * loud).sum() / loud.sum().clamp(min=1)


def si_sdr(est, ref):
    ref = ref - ref.mean(-1, keepdim=True)
    est = est - est.mean(-1, keepdim=True)
    a = (est * ref).sum(-1, keepdim=True) / ((ref * ref).sum(-1, keepdim=True) + 1e-9)
    s = a * ref
    return 10 * torch.log10((s * s).sum(-1) / (((est - s) ** 2).sum(-1) + 1e-9) + 1e-9)


def make_batch(corpus, seed, step, batch, n, augment=True):
    rng = np.random.default_rng([seed, step])
    ex = [data.make_example(corpus, rng, n, augment=augment) for _ in range(batch)]
    return (torch.from_numpy(np.stack([e[0] for e in ex])),
            torch.from_numpy(np.stack([e[1] for e in ex])),
            torch.tensor([float(e[2]) for e in ex]))


class Batches(torch.utils.data.IterableDataset):
    def __init__(self, seed, start, batch, n, augment):
        self.seed, self.start, self.batch, self.n, self.augment = seed, start, batch, n, augment

    def __iter__(self):
        corpus = data.Corpus("train")
        step = self.start
        while True:
            yield make_batch(corpus, self.seed, step, self.batch, self.n, self.augment)
            step += 1


def validation_set(count, n, seed=1234):
    corpus = data.Corpus("valid")
    rng = np.random.default_rng(seed)
    ex = [data.make_example(corpus, rng, n) for _ in range(count)]
    return (torch.from_numpy(np.stack([e[0] for e in ex])),
            torch.from_numpy(np.stack([e[1] for e in ex])),
            torch.tensor([float(e[2]) for e in ex]))


@torch.no_grad()
def validate(net, vset, device=torch.device("cpu")):
    noisy, target, bw = (v.to(device) for v in vset)
    losses, gains = [], []
    for i in range(0, len(noisy), 8):
        est = net.enhance(noisy[i:i + 8])
        losses.append(spectral_loss(est, target[i:i + 8], bw[i:i + 8]).item())
        t = target[i:i + 8]
        # Mixtures only: for clean input the gain is meaningless (input SI-SDR is
        # unbounded), for noise-only input undefined.
        speech = (t.pow(2).sum(-1) > 1e-6) & ((noisy[i:i + 8] - t).abs().amax(-1) > 1e-4)
        if speech.any():
            gains.extend((si_sdr(est[speech], t[speech]) - si_sdr(noisy[i:i + 8][speech], t[speech])).tolist())
    return float(np.mean(losses)), float(np.mean(gains))


@torch.no_grad()
def fit_feature_stats(net, corpus, seed, n):
    # Step index 10**9 is never a training step: these examples are not reused.
    noisy, _, _ = make_batch(corpus, seed, 10 ** 9, 48, n)
    re, im = net.stft_fft(noisy)
    f = net.features(re * re + im * im).reshape(-1, net.feat_mean.numel())
    net.feat_mean.copy_(f.mean(0))
    net.feat_std.copy_(f.std(0) + 1e-3)


def load_onnx_weights(net, path):
    """Warm start from a shipped model: its initialisers carry the parameter
    and buffer names of the exported Enhancer."""
    import onnx
    from onnx import numpy_helper
    proto = onnx.load(path)
    if any(node.op_type == "QuantizeLinear" for node in proto.graph.node):
        raise SystemExit(f"{path} holds 8-bit convolutions; start from its float model instead (MODEL.md, "
                         "\"Network 2.6.2\")")
    state = net.state_dict()
    loaded = 0
    for init in proto.graph.initializer:
        name = init.name.removeprefix("enhancer.")
        if name in state and tuple(state[name].shape) == tuple(init.dims):
            state[name] = torch.from_numpy(numpy_helper.to_array(init).copy())
            loaded += 1
    net.load_state_dict(state)
    return loaded


def learning_rate(args, step):
    """Warm-up, constant, then cosine decay to 5 % from --decay-from to --steps.

    The decay start is a separate knob so that a run can be extended while
    it is still in the constant phase without changing what it has done."""
    warm = min(1.0, (step + 1) / 200)
    if step < args.decay_from:
        return args.lr * warm
    t = (step - args.decay_from) / max(1, args.steps - args.decay_from)
    return args.lr * warm * (0.05 + 0.95 * 0.5 * (1 + math.cos(math.pi * min(t, 1.0))))


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--run", default="main")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--steps", type=int, default=8000)
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--crop", type=float, default=1.28, help="seconds per example")
    ap.add_argument("--lr", type=float, default=1e-3)
    ap.add_argument("--decay-from", type=int, default=6000)
    ap.add_argument("--snr-weight", type=float, default=0.002, help="weight of the band-limited SNR loss per dB")
    ap.add_argument("--snr-from", type=int, default=0, help="first step that uses the SNR loss")
    ap.add_argument("--noise-only-from", type=int, default=0,
                    help="first step whose SNR loss includes the noise-only examples' residual level")
    ap.add_argument("--intelligibility-weight", type=float, default=0.0,
                    help="weight of the envelope-correlation (intelligibility) loss")
    ap.add_argument("--under-weight", type=float, default=0.0,
                    help="extra weight of the spectral loss where the output is weaker than the target")
    ap.add_argument("--average", type=float, default=0.0,
                    help="decay per step of the moving average of the weights that is validated and "
                         "exported (0: the weights themselves)")
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--device", default="cpu", help="torch device to train on (cpu, cuda)")
    ap.add_argument("--complex-weight", type=float, default=0.3,
                    help="weight of the compressed-complex term of the spectral loss")
    ap.add_argument("--filter-bins", type=int, default=M.PHASE_AWARE["filter_bins"],
                    help="bins (from 0 Hz) of the complex filter stage of a new run; 0: mask only")
    ap.add_argument("--filter-reach", type=int, default=M.PHASE_AWARE["filter_reach"],
                    help="frames on each side that the complex filter spans")
    ap.add_argument("--stage-lr-scale", type=float, default=1.0,
                    help="learning rate of the complex stage as a multiple of --lr")
    ap.add_argument("--freeze-trunk", action="store_true",
                    help="train the complex stage alone: every other weight keeps its start value")
    ap.add_argument("--every", type=int, default=100, help="checkpoint/validation interval")
    ap.add_argument("--init-onnx", default=None, help="warm start from this model's weights (new runs only)")
    ap.add_argument("--without", action="append", default=[], choices=data.AUGMENTATIONS,
                    help="leave out one augmentation (repeatable)")
    args = ap.parse_args()
    augment = frozenset(data.AUGMENTATIONS) - set(args.without)

    torch.set_num_threads(args.threads)
    device = torch.device(args.device)
    torch.manual_seed(args.seed)
    run_dir = os.path.join(HERE, "runs", args.run)
    os.makedirs(run_dir, exist_ok=True)
    n = int(args.crop * M.RATE) // M.HOP * M.HOP
    ckpt_path = os.path.join(run_dir, "last.pt")
    step = 0
    best = math.inf
    ck = torch.load(ckpt_path, map_location="cpu") if os.path.exists(ckpt_path) else {}
    # A checkpoint keeps the shape it was trained in; a new run takes the options'.
    net = M.Enhancer.from_state(ck) if ck else M.Enhancer(filter_bins=args.filter_bins, filter_reach=args.filter_reach)
    arch = net.arch
    stage = {id(p) for p in net.stage_parameters()}
    trunk = [p for p in net.parameters() if id(p) not in stage]
    if args.freeze_trunk:
        if not stage:
            sys.exit("--freeze-trunk: this network has no complex stage to train")
        # No weight gradients for the trunk; gradients still flow through it
        # to the stage's phase input.
        for p in trunk:
            p.requires_grad_(False)
        groups = []
    else:
        groups = [{"params": trunk, "scale": 1.0}]
    if stage:
        groups.append({"params": net.stage_parameters(), "scale": args.stage_lr_scale})
    opt = torch.optim.AdamW(groups, lr=args.lr, weight_decay=1e-4)
    if ck:
        net.load_state_dict(ck["model"])
        opt.load_state_dict(ck["opt"])
        step, best = ck["step"], ck["best"]
        print(f"resumed at step {step}", flush=True)
    elif args.init_onnx:
        print(f"warm start: {load_onnx_weights(net, args.init_onnx)} tensors from {args.init_onnx}", flush=True)
    else:
        fit_feature_stats(net, data.Corpus("train"), args.seed, n)
    # With batches of 8 the weights wander from step to step (the devset score of
    # checkpoints 200 steps apart differs by up to 3 dB); their moving average
    # is what is validated, kept and exported.
    averaged = None
    if args.average:
        averaged = M.Enhancer.from_state({"arch": arch})
        averaged.load_state_dict(ck.get("averaged", net.state_dict()))
        averaged.to(device)
    net.to(device)
    for state in opt.state.values():
        for key, value in state.items():
            if torch.is_tensor(value):
                state[key] = value.to(device)
    with open(os.path.join(run_dir, "config.json"), "w") as f:
        json.dump(vars(args), f, indent=1)

    vset = validation_set(48, n)
    loader = torch.utils.data.DataLoader(Batches(args.seed, step, args.batch, n, augment), batch_size=None,
                                         num_workers=1, prefetch_factor=4)
    log = open(os.path.join(run_dir, "log.tsv"), "a")
    t0, ema = time.time(), None
    for noisy, target, bw in loader:
        if step >= args.steps:
            break
        noisy, target, bw = noisy.to(device), target.to(device), bw.to(device)
        lr = learning_rate(args, step)
        for g in opt.param_groups:
            g["lr"] = lr * g.get("scale", 1.0)
        net.train()
        est = net.enhance(noisy)
        loss = spectral_loss(est, target, bw, args.under_weight, args.complex_weight)
        if step >= args.snr_from:
            with_noise_only = noisy if step >= args.noise_only_from else None
            loss = loss + args.snr_weight * band_snr_loss(est, target, bw, with_noise_only)
        if args.intelligibility_weight:
            loss = loss + args.intelligibility_weight * intelligibility_loss(est, target, bw)
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(net.parameters(), 1.0)
        opt.step()
        if averaged is not None:
            with torch.no_grad():
                for a, w in zip(averaged.parameters(), net.parameters()):
                    a.lerp_(w, 1 - args.average)
        step += 1
        ema = loss.item() if ema is None else 0.98 * ema + 0.02 * loss.item()
        if step % 50 == 0:
            rate = 50 * args.batch / (time.time() - t0)
            print(f"step {step} loss {ema:.4f} lr {lr:.2e} {rate:.1f} ex/s", flush=True)
            t0 = time.time()
        if step % args.every == 0 or step == args.steps:
            kept = averaged if averaged is not None else net
            kept.eval()
            vloss, vgain = validate(kept, vset, device)
            log.write(f"{step}\t{ema:.5f}\t{vloss:.5f}\t{vgain:.3f}\t{time.time():.0f}\n")
            log.flush()
            print(f"valid step {step} loss {vloss:.4f} si-sdr gain {vgain:.2f} dB", flush=True)
            state = {"model": net.state_dict(), "opt": opt.state_dict(), "step": step,
                     "best": min(best, vloss), "arch": arch}
            if averaged is not None:
                state["averaged"] = averaged.state_dict()
            torch.save(state, ckpt_path + ".tmp")
            os.replace(ckpt_path + ".tmp", ckpt_path)
            if vloss < best:
                best = vloss
                torch.save({"model": kept.state_dict(), "step": step, "valid_loss": vloss, "arch": arch},
                           os.path.join(run_dir, "best.pt"))
            t0 = time.time()


if __name__ == "__main__":
    main()
