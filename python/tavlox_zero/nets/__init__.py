"""The network layer: the policy-value network and its checkpoints (`network`), and the
inference backends that serve it to the engine (`inference`). Imports the engine and base
layers."""
