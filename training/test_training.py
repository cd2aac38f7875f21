# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks of the parts of the training pipeline that can silently go wrong.

Run from training/: /usr/bin/python3 -m unittest
"""
import os
import tempfile
import unittest

import numpy as np
import onnx
import torch
from scipy import signal

import data
import evaluate
import evaluate_noise
import export
import loudness
import model as M
import prepare_data
import train

RATE = 48000


def sine(freq, seconds, amp=1.0):
    t = np.arange(int(seconds * RATE)) / RATE
    return amp * np.sin(2 * np.pi * freq * t)


def reference_intelligibility(clean, processed, extended):
    """STOI (Taal et al., 2011) or, extended, ESTOI (Jensen and Taal, 2016) of 10 kHz
    signals: the reference for evaluate.py, written out loop by loop from the
    papers' definitions without its code."""
    n, hop, n_fft, segment = 256, 128, 512, 30
    window = np.hanning(n + 2)[1:-1]
    starts = range(0, len(clean) - n + 1, hop)
    level = [20 * np.log10(np.linalg.norm(window * clean[s:s + n]) + 1e-12) for s in starts]
    kept = [s for s, db in zip(starts, level) if db > max(level) - 40]  # silent frames dropped from both

    def envelopes(x):
        joined = np.zeros((len(kept) - 1) * hop + n)
        for i, s in enumerate(kept):
            joined[i * hop:i * hop + n] += window * x[s:s + n]
        spectra = [np.abs(np.fft.rfft(window * joined[s:s + n], n_fft)) ** 2
                   for s in range(0, len(joined) - n + 1, hop)]
        freqs = np.arange(n_fft // 2 + 1) * 10000 / n_fft
        rows = []
        for k in range(15):  # one-third octave bands from 150 Hz, edges at the geometric means of centres
            centre = 150 * 2 ** (k / 3)
            lo = np.argmin(np.abs(freqs - np.sqrt(centre * 150 * 2 ** ((k - 1) / 3))))
            hi = np.argmin(np.abs(freqs - np.sqrt(centre * 150 * 2 ** ((k + 1) / 3))))
            rows.append([np.sqrt(p[lo:hi].sum()) for p in spectra])
        return np.array(rows)

    def centred_unit(m, axis):
        m = m - m.mean(axis, keepdims=True)
        return m / np.linalg.norm(m, axis=axis, keepdims=True)
    env_x, env_y = envelopes(clean), envelopes(processed)
    scores = []
    for m in range(segment, env_x.shape[1] + 1):
        x, y = env_x[:, m - segment:m], env_y[:, m - segment:m]
        if extended:
            scores.append(np.sum(centred_unit(centred_unit(x, 1), 0) * centred_unit(centred_unit(y, 1), 0)) / segment)
            continue
        for xb, yb in zip(x, y):
            clipped = np.minimum(yb * np.linalg.norm(xb) / np.linalg.norm(yb), xb * (1 + 10 ** (15 / 20)))
            scores.append(np.corrcoef(xb, clipped)[0, 1])
    return float(np.mean(scores))


def lowpassed_noise(n, cutoff, rng):
    return data.shape_spectrum(rng.standard_normal(n).astype(np.float32),
                               lambda f: (f < cutoff).astype(float))


class TransformTest(unittest.TestCase):
    def setUp(self):
        torch.manual_seed(0)
        self.net = M.Enhancer().eval()
        self.x = torch.randn(2, 30000) * 0.1

    def test_matrix_stft_matches_torch_stft(self):
        re, im = self.net.stft_fft(self.x)
        re2, im2 = self.net.stft_matrix(self.x)
        scale = re.abs().max()
        self.assertLess(((re - re2).abs().max() / scale).item(), 1e-5)
        self.assertLess(((im - im2).abs().max() / scale).item(), 1e-5)

    def test_both_inverse_transforms_reconstruct(self):
        re, im = self.net.stft_fft(self.x)
        for y in (self.net.istft_fft(re, im, 30000), self.net.istft_matrix(re, im, 30000)):
            self.assertEqual(tuple(y.shape), (2, 30000))
            self.assertLess((y - self.x).abs().max().item(), 1e-4)

    def test_band_matrix_interpolates_constant_gain(self):
        bands = M.erb_band_matrix(40)
        self.assertTrue(torch.allclose(bands.sum(1), torch.ones(M.N_BINS), atol=1e-6))
        self.assertTrue(bool((bands.sum(0) > 0).all()), "an empty band")


    def test_output_is_the_part_to_subtract(self):
        # Force the mask to 1 (keep everything): nothing is left to subtract.
        net = M.Enhancer().eval()
        with torch.no_grad():
            net.band_head.bias.fill_(40.0)
        x = torch.randn(1, 1, 1, M.SEGMENT) * 0.1
        with torch.no_grad():
            out = M.ExportWrapper(net)(x)
        self.assertEqual(tuple(out.shape), (1, 1, 1, M.SEGMENT))
        self.assertLess(out.abs().max().item(), 1e-4)
        # Force it to 0 (remove everything): the whole input is to be subtracted.
        with torch.no_grad():
            net.band_head.bias.fill_(-40.0)
            out = M.ExportWrapper(net)(x)
        self.assertLess((out - x).abs().max().item(), 1e-4)


class PhaseStageTest(unittest.TestCase):
    def test_warm_started_network_computes_the_mask_only_output(self):
        torch.manual_seed(3)
        old = M.Enhancer(**M.MASK_ONLY).eval()
        with torch.no_grad():
            old.bin_head.weight.normal_(0, 0.05)
        new = M.Enhancer().eval()
        missing, unexpected = new.load_state_dict(old.state_dict(), strict=False)
        self.assertEqual(unexpected, [])
        self.assertTrue(missing and all(k.startswith(("phase_input", "filter_head")) for k in missing), missing)
        x = torch.randn(2, 20000) * 0.1
        with torch.no_grad():
            for matrix in (False, True):
                self.assertTrue(torch.equal(new.enhance(x, matrix), old.enhance(x, matrix)))

    def test_filter_taps_reach_the_neighbouring_frames(self):
        net = M.Enhancer().eval()
        t, k = 7, net.filter_bins
        re, im = torch.randn(1, t, M.N_BINS), torch.randn(1, t, M.N_BINS)
        mask = torch.full((1, t, M.N_BINS), 0.5)
        taps = 2 * net.filter_reach + 1
        cr, ci = torch.zeros(1, t, k, taps), torch.zeros(1, t, k, taps)
        ci[..., taps - 1] = 1.0  # j * Y[t + reach], Y the masked spectrum
        yr, yi = net.apply(re, im, mask, (cr, ci))
        reach = net.filter_reach
        self.assertTrue(torch.allclose(yr[0, :t - reach, :k], 0.5 * (re[0, :t - reach, :k] - im[0, reach:, :k])))
        self.assertTrue(torch.allclose(yi[0, :t - reach, :k], 0.5 * (im[0, :t - reach, :k] + re[0, reach:, :k])))
        # Beyond the segment's end the filter sees zeros; above the stage, the mask alone.
        self.assertTrue(torch.equal(yr[0, t - reach:, :k], 0.5 * re[0, t - reach:, :k]))
        self.assertTrue(torch.equal(yr[0, :, k:], 0.5 * re[0, :, k:]))

    def test_checkpoint_of_the_noisy_spectrum_filter_is_refused(self):
        with self.assertRaises(ValueError):
            M.Enhancer.from_state({"arch": {"filter_bins": 101, "filter_reach": 2}})


class LoudnessTest(unittest.TestCase):
    def test_full_scale_997_hz_sine(self):
        self.assertAlmostEqual(loudness.integrated_loudness(sine(997, 5)), -3.01, delta=0.05)

    def test_gating_ignores_silence_and_scales_with_gain(self):
        # Ungated, 5 s of silence after 3 s of tone would read 4.3 dB lower;
        # only the blocks straddling the end of the tone pull the gated value down.
        x = np.concatenate([sine(997, 3, 0.1), np.zeros(5 * RATE)])
        self.assertAlmostEqual(loudness.integrated_loudness(x), -23.01, delta=0.3)

    def test_matches_the_applications_loudness_library(self):
        # The application measures with libebur128; the training mixtures,
        # normalised by loudness.py, must see the same level.
        import ctypes
        import ctypes.util
        name = ctypes.util.find_library("ebur128")
        if not name:
            self.skipTest("libebur128 not installed")
        lib = ctypes.CDLL(name)
        lib.ebur128_init.restype = ctypes.c_void_p
        lib.ebur128_init.argtypes = [ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        lib.ebur128_add_frames_double.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_double), ctypes.c_size_t]
        lib.ebur128_loudness_global.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_double)]
        lib.ebur128_destroy.argtypes = [ctypes.POINTER(ctypes.c_void_p)]

        def reference(x):
            state = ctypes.c_void_p(lib.ebur128_init(1, RATE, (1 << 2) | (1 << 0)))
            samples = np.ascontiguousarray(x, np.float64)
            lib.ebur128_add_frames_double(state, samples.ctypes.data_as(ctypes.POINTER(ctypes.c_double)), len(x))
            value = ctypes.c_double()
            lib.ebur128_loudness_global(state, ctypes.byref(value))
            lib.ebur128_destroy(ctypes.byref(state))
            return value.value

        rng = np.random.default_rng(4)
        # Speech-like bursts of shaped noise with pauses and a quiet tail, a
        # low hum, and one tone: gating, K-weighting and block edges all count.
        bursts = data.shape_spectrum(rng.standard_normal(6 * RATE).astype(np.float32), lambda f: 1 / (1 + f / 800))
        bursts = bursts * np.repeat(rng.uniform(0, 1, 24) > 0.4, RATE // 4)
        for x in (bursts * 0.2, bursts * 0.02 + sine(50, 6, 0.05), sine(3000, 2.3, 0.3)):
            self.assertAlmostEqual(loudness.integrated_loudness(np.asarray(x, np.float64)), reference(x), delta=0.01)

    def test_normalisation_gain_reaches_target(self):
        x = np.random.default_rng(1).standard_normal(3 * RATE) * 0.3
        y = x * loudness.normalisation_gain(x)
        self.assertAlmostEqual(loudness.integrated_loudness(y), -24.0, delta=0.05)
        self.assertEqual(loudness.normalisation_gain(np.zeros(RATE)), 1.0)


class FakeCorpusMixin:
    """A tiny cache in the format prepare_data.py writes."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        rng = np.random.default_rng(3)
        speech = np.concatenate([
            (sine(180, 2, 0.3) + 0.2 * sine(2500, 2)) * (sine(3, 2) > 0),
            (sine(140, 2, 0.3) + 0.2 * sine(900, 2)) * (sine(2, 2) > 0)])
        noise = rng.standard_normal(3 * RATE) * 0.1
        np.save(os.path.join(self.tmp.name, "spk.npy"), (speech * 32767).astype(np.int16))
        np.save(os.path.join(self.tmp.name, "nz.npy"), (noise * 32767).astype(np.int16))
        rows = [("a.opus", "speech", "spk", "s1", 0, 2 * RATE, 7000, "train"),
                ("b.opus", "speech", "spk", "s2", 2 * RATE, 2 * RATE, 24000, "train"),
                ("n.opus", "noise", "nz", "", 0, 3 * RATE, 24000, "train")]
        with open(os.path.join(self.tmp.name, "index.tsv"), "w") as f:
            f.write("file\tkind\tsource\tspeaker\toffset\tlength\tbandwidth_hz\tsplit\tmanifest_bw\n")
            for r in rows:
                f.write("\t".join(map(str, r)) + "\t\n")
        self.corpus = data.Corpus("train", cache=self.tmp.name)
        self.corpus.speech = {"vctk_p239": self.corpus.speech["spk"]}

    def tearDown(self):
        self.tmp.cleanup()


class MixtureTest(FakeCorpusMixin, unittest.TestCase):
    def test_requested_snr_and_loudness(self):
        rng = np.random.default_rng(5)
        for snr in (-5.0, 0.0, 10.0, 20.0):
            noisy, target, _ = data.make_example(self.corpus, rng, RATE, snr_db=snr, kind="mix",
                                                 augment=False)
            self.assertAlmostEqual(data.snr_db(target, noisy - target), snr, delta=0.01)
            self.assertAlmostEqual(loudness.integrated_loudness(noisy), -24.0, delta=0.1)

    def test_noise_only_and_clean_only_targets(self):
        rng = np.random.default_rng(6)
        noisy, target, bw = data.make_example(self.corpus, rng, RATE, kind="noise")
        self.assertFalse(np.any(target))
        self.assertGreater(np.abs(noisy).max(), 0)
        self.assertEqual(bw, data.FULL_BAND)
        noisy, target, _ = data.make_example(self.corpus, rng, RATE, kind="clean", augment=False)
        np.testing.assert_allclose(noisy, target, atol=1e-6)

    def test_room_stays_in_the_target_without_dereverberation(self):
        kept, dereverberated = np.random.default_rng(9), np.random.default_rng(9)
        differs = 0
        for _ in range(20):
            noisy, target, _ = data.make_example(self.corpus, kept, RATE, kind="clean", augment={"reverb"})
            np.testing.assert_allclose(noisy, target, atol=1e-6)
            noisy, target, _ = data.make_example(self.corpus, dereverberated, RATE, kind="clean",
                                                 augment={"reverb", "dereverberation"})
            differs += not np.allclose(noisy, target, atol=1e-3)
        self.assertGreater(differs, 0)

    def test_vocal_noise_crop_holds_the_call(self):
        call = np.zeros(3 * RATE, np.int16)
        call[int(2.6 * RATE):int(2.7 * RATE)] = 20000
        self.corpus.audio["nz"] = call
        self.corpus.noise = [("nz", 0, 3 * RATE, 24000, "", "noise/esc10/001 - Dog bark/1.opus")]
        rng = np.random.default_rng(10)
        for _ in range(10):
            self.assertGreater(np.abs(data.vocal_noise(RATE // 2, rng, self.corpus)).max(), 0.5)

    def test_augmented_examples_stay_consistent(self):
        rng = np.random.default_rng(7)
        for _ in range(20):
            noisy, target, bw = data.make_example(self.corpus, rng, RATE)
            self.assertEqual(noisy.shape, (RATE,))
            self.assertTrue(np.all(np.isfinite(noisy)) and np.all(np.isfinite(target)))
            self.assertLessEqual(bw, data.FULL_BAND)


class TrainingTest(FakeCorpusMixin, unittest.TestCase):
    def test_batches_depend_only_on_seed_and_step(self):
        a = train.make_batch(self.corpus, 7, 5, 2, RATE // 2)
        b = train.make_batch(self.corpus, 7, 5, 2, RATE // 2)
        c = train.make_batch(self.corpus, 7, 6, 2, RATE // 2)
        for x, y in zip(a, b):
            self.assertTrue(torch.equal(x, y))
        self.assertFalse(torch.equal(a[0], c[0]))


class LossTest(unittest.TestCase):
    def test_loss_ignores_bins_above_bandwidth(self):
        rng = np.random.default_rng(8)
        ref = torch.from_numpy(lowpassed_noise(RATE, 6000, rng))[None]
        white = rng.standard_normal(RATE).astype(np.float32)
        hf = torch.from_numpy(data.shape_spectrum(white, lambda f: (f > 12000).astype(float)))[None]
        est = ref + 0.1 * hf
        masked = train.spectral_loss(est, ref, torch.tensor([8000.0])).item()
        full = train.spectral_loss(est, ref, torch.tensor([24000.0])).item()
        self.assertLess(masked, 1e-3 * full)

    def test_under_weight_penalises_removed_speech_only(self):
        rng = np.random.default_rng(15)
        ref = torch.from_numpy(lowpassed_noise(RATE, 6000, rng))[None]
        bw = torch.tensor([24000.0])
        quieter, louder = 0.5 * ref, 1.5 * ref
        plain = train.spectral_loss(louder, ref, bw).item()
        self.assertAlmostEqual(train.spectral_loss(louder, ref, bw, 1.0).item(), plain, delta=1e-3 * plain)
        ratio = train.spectral_loss(quieter, ref, bw, 1.0).item() / train.spectral_loss(quieter, ref, bw).item()
        self.assertGreater(ratio, 1.5)

    def test_snr_loss_measures_in_band_error_only(self):
        rng = np.random.default_rng(14)
        ref = torch.from_numpy(lowpassed_noise(RATE, 6000, rng))[None]
        white = rng.standard_normal(RATE).astype(np.float32)
        hf = torch.from_numpy(data.shape_spectrum(white, lambda f: (f > 12000).astype(float)))[None]
        lf = torch.from_numpy(lowpassed_noise(RATE, 6000, rng))[None]
        bw = torch.tensor([8000.0])
        self.assertLess(train.band_snr_loss(ref + hf, ref, bw).item(), -39.0)
        ten_db = ref + lf * torch.sqrt(ref.pow(2).sum() / lf.pow(2).sum() / 10)
        self.assertAlmostEqual(train.band_snr_loss(ten_db, ref, bw).item(), -10.0, delta=0.1)
        silent = torch.zeros(1, RATE)
        self.assertEqual(train.band_snr_loss(lf, silent, bw).item(), 0.0)
        # Noise-only input: the residual level relative to the input counts.
        self.assertAlmostEqual(train.band_snr_loss(0.1 * lf, silent, bw, lf).item(), 10 * np.log10(0.01 + 1e-4),
                               delta=0.01)

    def test_intelligibility_loss_follows_the_measure(self):
        rng = np.random.default_rng(16)
        t = np.arange(M.SEGMENT) / RATE
        bursts = (np.sin(2 * np.pi * 3 * t) > 0) * (np.sin(2 * np.pi * 7 * t) > -0.5)
        clean = (np.sin(2 * np.pi * 200 * t) + 0.5 * np.sin(2 * np.pi * 1200 * t)) * bursts
        noise = rng.standard_normal(len(t))
        full = torch.tensor([24000.0])

        def as_batch(x):
            return torch.tensor(x, dtype=torch.float32)[None]
        self.assertLess(train.intelligibility_loss(as_batch(clean), as_batch(clean), full).item(), 1e-3)
        for amount in (0.1, 1.0):
            noisy = clean + amount * noise
            loss = train.intelligibility_loss(as_batch(noisy), as_batch(clean), full).item()
            self.assertAlmostEqual(1 - loss, evaluate.estoi(clean, noisy), delta=0.06)
        # Silent targets and band-limited ones (no top band to correlate) are left out, without NaN.
        est = as_batch(noise).requires_grad_()
        loss = train.intelligibility_loss(est.expand(2, -1), torch.stack([torch.zeros(len(t)), as_batch(clean)[0]]),
                                          torch.tensor([24000.0, 3400.0]))
        loss.backward()
        self.assertEqual(loss.item(), 0.0)
        self.assertFalse(torch.isnan(est.grad).any())

    def test_bandwidth_measure(self):
        rng = np.random.default_rng(9)
        x = lowpassed_noise(2 * RATE, 7000, rng) + 1e-6 * rng.standard_normal(2 * RATE).astype(np.float32)
        bw = prepare_data.measure_bandwidth((x / np.abs(x).max() * 20000).astype(np.int16))
        self.assertLess(abs(bw - 7000), 300)
        self.assertIsNone(prepare_data.measure_bandwidth(np.zeros(RATE, np.int16)))


class ExportTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.tmp.name, "m.onnx")
        torch.manual_seed(0)
        cls.net = M.Enhancer().eval()
        # A complex stage that does something, so that its graph is checked too.
        with torch.no_grad():
            for p in cls.net.stage_parameters():
                p.normal_(0, 0.02)
        export.export(cls.net, cls.path, "0.0.1", "test model")

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_contract(self):
        meta = export.check_contract(self.path)
        self.assertEqual(meta["author"], "Vesh")

    def test_contract_rejects_renamed_output(self):
        proto = onnx.load(self.path)
        old = proto.graph.output[0].name
        proto.graph.output[0].name = "enhanced"
        for node in proto.graph.node:
            node.output[:] = ["enhanced" if o == old else o for o in node.output]
        bad = os.path.join(self.tmp.name, "bad.onnx")
        onnx.save(proto, bad)
        with self.assertRaises(AssertionError):
            export.check_contract(bad)

    def test_checkpoint_with_averaged_weights_exports_the_average(self):
        trained = M.Enhancer()
        with torch.no_grad():
            trained.input.bias.fill_(1.0)
        path = os.path.join(self.tmp.name, "ck.pt")
        torch.save({"model": trained.state_dict(), "averaged": self.net.state_dict(), "step": 1,
                    "arch": trained.arch}, path)
        self.assertTrue(torch.equal(export.load_enhancer(path).input.bias, self.net.input.bias))

    @unittest.skipUnless(os.path.exists(os.path.join(export.ORT_DIR, "lib", "libonnxruntime.so.1")),
                         "ONNX Runtime not installed")
    def test_runtime_matches_torch(self):
        x = np.random.default_rng(10).standard_normal((1, M.SEGMENT)).astype(np.float32) * 0.05
        got, _ = export.run_ort(self.path, x)
        with torch.no_grad():
            ref = M.ExportWrapper(self.net)(torch.from_numpy(x).reshape(1, 1, 1, -1)).reshape(1, -1).numpy()
        self.assertLess(np.abs(got - ref).max(), 1e-4)


class QuantisationTest(unittest.TestCase):
    """The shipped model's convolutions in the pattern the runtime fuses into
    8-bit convolutions, with weights that cannot saturate 16-bit sums."""

    def test_shipped_convolutions_are_between_quantisation_steps(self):
        import quantize
        proto = onnx.load(export.SHIPPED)
        producers = {o: node for node in proto.graph.node for o in node.output}
        consumers = {}
        for node in proto.graph.node:
            for name in node.input:
                consumers.setdefault(name, []).append(node)
        convs = [node for node in proto.graph.node if node.op_type == "Conv"]
        self.assertEqual(len(convs), 23)
        for conv in convs:
            self.assertEqual({producers[name].op_type for name in conv.input}, {"DequantizeLinear"}, conv.name)
            self.assertEqual([n.op_type for n in consumers[conv.output[0]]], ["QuantizeLinear"], conv.name)
        weights = [onnx.numpy_helper.to_array(i) for i in proto.graph.initializer
                   if i.data_type == onnx.TensorProto.INT8 and len(i.dims) == 3]
        self.assertEqual(len(weights), 23)
        self.assertLessEqual(max(int(np.abs(w).max()) for w in weights), quantize.WEIGHT_LEVELS)

    def test_warm_start_refuses_a_quantised_model(self):
        # Its float convolution weights are gone: a warm start would keep
        # the others and leave the convolutions at random.
        with self.assertRaises(SystemExit):
            train.load_onnx_weights(M.Enhancer(**M.MASK_ONLY), export.SHIPPED)


class DataTest(unittest.TestCase):
    def test_band_limit_leaves_the_band_above_empty(self):
        rng = np.random.default_rng(16)
        white = rng.standard_normal(RATE).astype(np.float32)
        freqs = np.fft.rfftfreq(RATE, 1 / RATE)
        for _ in range(10):
            gain, cutoff = data.band_limit(rng)
            spectrum = np.abs(np.fft.rfft(data.shape_spectrum(white, gain))) ** 2
            reference = np.abs(np.fft.rfft(white)) ** 2
            self.assertLess(spectrum[freqs > cutoff].sum(), 1e-9 * spectrum.sum())
            passband = (freqs > 500) & (freqs < 0.9 * cutoff)
            np.testing.assert_allclose(spectrum[passband], reference[passband], rtol=1e-3)

    def test_speed_perturbation_scales_pitch_and_length(self):
        x = sine(1000, 1.0).astype(np.float32)
        y = data.resample_speed(x, 1.1)
        self.assertEqual(len(y), round(RATE / 1.1))
        peak = np.argmax(np.abs(np.fft.rfft(y))) * RATE / len(y)
        self.assertAlmostEqual(peak, 1100, delta=2)

    def test_split_is_stable_and_holds_out_a_share(self):
        keys = [f"speaker{i}" for i in range(2000)]
        splits = [prepare_data.split_of(k) for k in keys]
        self.assertEqual(splits, [prepare_data.split_of(k) for k in keys])
        self.assertAlmostEqual(splits.count("valid") / len(keys), prepare_data.VALID_SHARE, delta=0.03)


class EvaluationTest(unittest.TestCase):
    def test_join_of_unchanged_segments_is_the_input(self):
        rng = np.random.default_rng(11)
        for n in (5000, M.SEGMENT, M.SEGMENT + 1, 3 * M.SEGMENT + 12345):
            x = rng.standard_normal(n).astype(np.float32)
            segs = evaluate.segments_of(x)
            self.assertTrue(all(len(s) == M.SEGMENT for s in segs))
            np.testing.assert_allclose(evaluate.join(x, segs), x, atol=1e-5)

    def test_crossfade_curves_are_complementary(self):
        rise, fall = evaluate.crossfade_curves(evaluate.OVERLAP)
        np.testing.assert_allclose(rise + fall, 1.0, atol=1e-6)
        self.assertLess(rise[0], 1e-6)
        self.assertGreater(rise[-1], 0.999)

    def test_join_level_move_is_seen_when_audible_only(self):
        x = data.coloured_noise(12 * RATE, np.random.default_rng(14), 1.0)
        x = x / np.sqrt(data.power(x)) * 0.05
        # The output steps by 6 dB at every join and is steady between joins.
        segment = (np.arange(len(x)) - evaluate_noise.OVERLAP // 2) // evaluate_noise.HOP
        stepped = x * np.where(segment % 2 == 1, 0.5, 1.0)
        audible = evaluate_noise.join_figures(x, stepped, x)
        self.assertAlmostEqual(audible["level_move_at_joins_db"], 6.0, delta=0.5)
        self.assertLess(audible["level_move_between_db"], 0.5)
        # The same steps 100 dB down lie under the absolute gate.
        faint = evaluate_noise.join_figures(x, stepped * 1e-5, x)
        self.assertLess(faint["level_move_at_joins_db"], 0.5)
        self.assertLess(faint["peak_at_joins_dbfs"], -90)

    def test_intelligibility_measures_match_a_reference(self):
        rng = np.random.default_rng(12)
        t = np.arange(3 * RATE) / RATE
        voice = sum(np.sin(2 * np.pi * k * 180 * t) / k for k in range(1, 20))
        # Syllables, then a murmur about 35 dB down (kept) and silence (dropped).
        gate = np.sin(2 * np.pi * 2 * t)
        clean = voice * np.where(gate > -0.3, 1 + 0.8 * np.sin(2 * np.pi * 5 * t), np.where(gate > -0.8, 0.03, 0))
        noise = rng.standard_normal(len(t))
        for extended, measure in ((False, evaluate.stoi), (True, evaluate.estoi)):
            self.assertAlmostEqual(measure(clean, 3 * clean), 1.0, places=6)
            for amount in (0.3, 3.0):
                processed = clean + amount * noise
                # At 10 kHz nothing is resampled and the two must agree to rounding;
                # at 48 kHz they differ by the resamplers (spectrum cut against polyphase).
                at_10k = [signal.resample_poly(x, 5, 24) for x in (clean, processed)]
                self.assertAlmostEqual(measure(*at_10k, rate=10000), reference_intelligibility(*at_10k, extended),
                                       places=9)
                self.assertAlmostEqual(measure(clean, processed), reference_intelligibility(*at_10k, extended),
                                       delta=0.001)

    def test_wav_round_trip(self):
        x = np.random.default_rng(13).standard_normal(1000).astype(np.float32) * 0.1
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "x.wav")
            evaluate.write_wav(path, x)
            np.testing.assert_array_equal(evaluate.read_wav(path), x)


if __name__ == "__main__":
    unittest.main()
