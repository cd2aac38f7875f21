// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the exported model with the C++ ONNX Runtime on raw float32 segments,
// the way the application does, for parity checks, evaluation and timing.
//
//   ort_run MODEL IN.f32 OUT.f32 [THREADS] [TIMING_RUNS]
//
// IN.f32 holds whole 98304-sample segments back to back; OUT.f32 receives the
// model output for each. With TIMING_RUNS > 0 the first segment is also run
// that many extra times and the mean and minimum run time are printed.
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

constexpr int64_t kSegment = 98304;

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: ort_run MODEL IN.f32 OUT.f32 [THREADS] [TIMING_RUNS]\n";
    return 2;
  }
  const int threads = argc > 4 ? std::stoi(argv[4]) : 2;
  const int timing_runs = argc > 5 ? std::stoi(argv[5]) : 0;

  std::ifstream in(argv[2], std::ios::binary);
  std::vector<char> bytes;
  in.seekg(0, std::ios::end);
  bytes.resize(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (bytes.empty() || bytes.size() % (kSegment * sizeof(float)) != 0) {
    std::cerr << "input must hold whole segments of " << kSegment << " float32 samples\n";
    return 2;
  }
  std::vector<float> input(reinterpret_cast<const float*>(bytes.data()),
                           reinterpret_cast<const float*>(bytes.data() + bytes.size()));

  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "ort_run");
  Ort::SessionOptions options;
  options.SetIntraOpNumThreads(threads);
  options.SetInterOpNumThreads(1);
  options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  Ort::Session session(env, argv[1], options);

  const char* input_names[] = {"signal"};
  const char* output_names[] = {"var_2304"};
  const int64_t shape[] = {1, 1, 1, kSegment};
  auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<float> output(input.size());

  auto run = [&](size_t seg) {
    Ort::Value tensor = Ort::Value::CreateTensor<float>(memory, input.data() + seg * kSegment,
                                                        kSegment, shape, 4);
    auto result = session.Run(Ort::RunOptions{nullptr}, input_names, &tensor, 1, output_names, 1);
    const float* out = result[0].GetTensorData<float>();
    if (result[0].GetTensorTypeAndShapeInfo().GetElementCount() != kSegment) {
      throw std::runtime_error("output does not hold one segment");
    }
    std::copy(out, out + kSegment, output.begin() + static_cast<std::ptrdiff_t>(seg * kSegment));
  };

  for (size_t seg = 0; seg < input.size() / kSegment; ++seg) run(seg);
  std::ofstream(argv[3], std::ios::binary)
      .write(reinterpret_cast<const char*>(output.data()),
             static_cast<std::streamsize>(output.size() * sizeof(float)));

  if (timing_runs > 0) {
    double total = 0, best = 1e9;
    for (int i = 0; i < timing_runs; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      run(0);
      double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
      total += ms;
      best = std::min(best, ms);
    }
    std::printf("runs %d threads %d mean_ms %.2f min_ms %.2f\n", timing_runs, threads,
                total / timing_runs, best);
  }
  return 0;
}
