#!/usr/bin/env bash
# One short GPU check (a few minutes): builds the extensions with CMake, then measures the
# network alone and self-play positions/s on CUDA for 9 x 9 and 20 x 20, fp16 and bf16 (both
# with CUDA graphs), each against eager fp32 in the same run.
#   bench/device_check.sh [OUT_DIR]     # the figures go to stdout and OUT_DIR/device_check.txt
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=${1:-${OUT:-build/device_check}}
mkdir -p "$out"
log="$out/device_check.txt"

# The GPU machine reaches no package registry: build with CMake against the python3 that holds
# PyTorch there, and lay the package out beside the extensions instead of installing it.
py=${PYTHON:-python3}
site=build/device-site
cmake -S . -B build/device -DCMAKE_BUILD_TYPE=Release -DTAVLOX_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$(command -v "$py")" >/dev/null
cmake --build build/device -j"$(nproc)" >/dev/null
cmake --install build/device --prefix "$site" >/dev/null
cp -r python/tavlox_zero/. "$site/tavlox_zero/"
export PYTHONPATH="$PWD/$site${PYTHONPATH:+:$PYTHONPATH}"

{
  nvidia-smi --query-gpu=name,memory.total,driver_version --format=csv,noheader || true
  "$py" -c 'import torch; print("torch", torch.__version__, "cuda", torch.version.cuda, torch.cuda.get_device_name(0))'
  # fp32 eager is the baseline; torch (fp16) and torch-bf16 replay CUDA graphs.
  "$py" - <<'EOF'
import time, numpy as np, torch
from tavlox_zero.nets.inference import make_network, agreement, sample_positions
from tavlox_zero.nets.network import inference_model, new_model
from tavlox_zero.nets.torch_network import TorchNetwork

model = new_model(seed=0)
for dim, batch in ((9, 128), (9, 1024), (20, 64), (20, 512)):
    planes = (np.random.default_rng(0).random((batch, 5, dim, dim)) < 0.25).astype(np.uint8)
    base = None
    for name, network in (("fp32 eager", TorchNetwork(inference_model(model, "cuda"), "cuda", half=False, cuda_graphs=False)),
                          ("fp16 graphs", make_network(model, "cuda", "torch")),
                          ("bf16 graphs", make_network(model, "cuda", "torch-bf16"))):
        for _ in range(5):
            network(planes)
        calls, started = 0, time.perf_counter()
        while time.perf_counter() - started < 2.0:
            network(planes)
            calls += 1
        rate = calls * batch / (time.perf_counter() - started)
        base = base or rate
        print(f"network {dim}x{dim} batch {batch:>4} {name:<12} {rate:>10,.0f} positions/s {rate / base:5.2f}x", flush=True)
    check = sample_positions(dim, games=2)
    reference = TorchNetwork(inference_model(model, "cuda"), "cuda", half=False, cuda_graphs=False)(check)
    reference = (np.array(reference[0]), np.array(reference[1]))
    for backend in ("torch", "torch-bf16"):
        print(f"agreement {dim}x{dim} {backend}: {agreement(reference, make_network(model, 'cuda', backend)(check), check).describe()}")
EOF
  # Self-play: the batched engine with every CPU searching and the network on the GPU.
  for dim_sims in "9 16" "20 64"; do
    set -- $dim_sims
    timeout 150 "$py" bench/bench_backends.py --part selfplay --device cuda --dims "$1" --seconds 30 \
      --games-in-flight 1024 --backends torch torch-bf16 --splits "$(nproc):1" ||
      echo "selfplay $1x$1: timed out or failed"
  done
} 2>&1 | tee "$log"
