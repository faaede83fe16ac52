"""The network layer: the policy-value network and its checkpoints (`network`), the network
function of a PyTorch module (`torch_network`), and the inference backends that serve it to
the engine (`inference`). Imports the engine and base layers."""
