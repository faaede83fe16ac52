"""The policy-value network and its checkpoints.

A residual convolutional network over the five state planes. Every layer up to the heads
is a convolution and the value head pools over the board, so one set of weights plays
any board side: the policy has one logit per tile (dim * dim), the value four logits
ordered from the player to move, as the engine expects.

A network may also carry a score head, used in training only: from the value head's pooled
features it predicts the cells each player will have placed when the game ends (as a share
of a quarter of the board, in the same player order). The win-share payoff of a four-player
game says little about a position, one bit or so per game; the final cell counts say how
well every player did, and shape the shared layers with that denser signal. The engine
never sees the score head: `forward` returns policy and value only.

A network may also turn every position so that the player to move sits in the top-left
corner before its layers see it, and turn the policy back. The players start in the four
corners, clockwise in their order of play, and the planes already name the players from the
mover on, so a quarter turn that brings the mover's corner to the top left gives the same
game: the layers then learn one corner's play instead of four. The mover's corner is the
corner cell it covers, or else the corner cell it may cover now (its first piece).
"""

from __future__ import annotations

import copy
import os
import re
import warnings
import zipfile
from typing import Any, Optional

import torch
from torch import nn
from torch.nn.utils.fusion import fuse_conv_bn_eval

from ..base.atomic import atomic_write
from ..engine.constants import MAX_DIM, MIN_DIM, PLAYERS, STATE_PLANES
from ..base.errors import brief

CHECKPOINT_FORMAT = "tavlox-zero"
CHECKPOINT_VERSION = 1


class ResidualBlock(nn.Module):
    def __init__(self, channels: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = torch.relu(self.bn1(self.conv1(x)))
        y = self.bn2(self.conv2(y))
        return torch.relu(x + y)


class PolicyValueNet(nn.Module):
    """Input (B, 5, d, d) float planes; output (policy logits (B, d*d), value logits (B, 4))."""

    def __init__(self, channels: int = 32, blocks: int = 3, score_head: bool = True,
                 mover_corner: bool = True) -> None:
        super().__init__()
        if channels < 2 or blocks < 0:
            raise ValueError(f"need channels >= 2 and blocks >= 0, got channels={channels}, blocks={blocks}")
        self.channels = channels
        self.blocks = blocks
        self.has_score_head = bool(score_head)
        self.mover_corner = bool(mover_corner)
        head = max(2, channels // 2)
        self.stem = nn.Sequential(
            nn.Conv2d(STATE_PLANES, channels, 3, padding=1, bias=False),
            nn.BatchNorm2d(channels),
            nn.ReLU(inplace=True),
        )
        self.trunk = nn.Sequential(*(ResidualBlock(channels) for _ in range(blocks)))
        self.policy_head = nn.Sequential(
            nn.Conv2d(channels, head, 1, bias=False),
            nn.BatchNorm2d(head),
            nn.ReLU(inplace=True),
            nn.Conv2d(head, 1, 1),
        )
        self.value_conv = nn.Sequential(
            nn.Conv2d(channels, head, 1, bias=False),
            nn.BatchNorm2d(head),
            nn.ReLU(inplace=True),
        )
        # Mean and max over the board: a summary whose size does not depend on the board.
        self.value_fc = nn.Sequential(
            nn.Linear(2 * head, 2 * channels),
            nn.ReLU(inplace=True),
            nn.Linear(2 * channels, PLAYERS),
        )
        self.score_fc = nn.Sequential(
            nn.Linear(2 * head, 2 * channels),
            nn.ReLU(inplace=True),
            nn.Linear(2 * channels, PLAYERS),
        ) if score_head else None

    def forward(self, x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        policy, pooled = self._shared(x)
        return policy, self.value_fc(pooled)

    def heads(self, x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor, Optional[torch.Tensor]]:
        """Policy logits, value logits and predicted final cell shares (None without a score head)."""
        policy, pooled = self._shared(x)
        scores = self.score_fc(pooled) if self.score_fc is not None else None
        return policy, self.value_fc(pooled), scores

    def _shared(self, x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Policy logits and the value heads' pooled board summary."""
        if x.dim() != 4 or x.shape[1] != STATE_PLANES or x.shape[2] != x.shape[3]:
            raise ValueError(f"expected planes of shape (B, {STATE_PLANES}, d, d), got {tuple(x.shape)}")
        turns = mover_turns(x) if self.mover_corner else None
        if turns is not None:
            x = rotate_each(x, turns)
        features = self.trunk(self.stem(x))
        policy = self.policy_head(features)
        if turns is not None:
            policy = rotate_each(policy, turns, inverse=True)
        policy = policy.flatten(1)
        v = self.value_conv(features)
        pooled = torch.cat((v.mean(dim=(2, 3)), v.amax(dim=(2, 3))), dim=1)
        return policy, pooled


# Corner cells in the players' order: top left, top right, bottom right, bottom left.
def _corner_cells(x: torch.Tensor) -> torch.Tensor:
    """(B, planes, 4): every plane's value at the four corners."""
    return torch.stack((x[:, :, 0, 0], x[:, :, 0, -1], x[:, :, -1, -1], x[:, :, -1, 0]), dim=2)


def mover_turns(x: torch.Tensor) -> list[torch.Tensor]:
    """Per position, a one-hot (B,) float mask for each of the quarter turns 0 to 3 that
    brings the mover's corner (plane 0 covers it, or else plane 4 marks it legal) to the top left."""
    corners = _corner_cells(x)
    key = 2 * corners[:, 0] + corners[:, STATE_PLANES - 1]
    mover = key.argmax(dim=1)
    return [(mover == k).to(x.dtype) for k in range(PLAYERS)]


def rotate_each(x: torch.Tensor, turns: list[torch.Tensor], inverse: bool = False) -> torch.Tensor:
    """Each position of `x` (B, C, d, d) turned by the quarter turns its mask in `turns` selects:
    counter-clockwise (top right to top left), or clockwise with `inverse`."""
    direction = -1 if inverse else 1
    return sum(turn.view(-1, 1, 1, 1) * quarter_turns(x, direction * k) for k, turn in enumerate(turns))


def quarter_turns(x: torch.Tensor, k: int) -> torch.Tensor:
    """torch.rot90(x, k, dims=(2, 3)) spelt with flips and transposes, which every exporter knows."""
    k %= 4
    if k == 1:
        return x.flip(3).transpose(2, 3)
    if k == 2:
        return x.flip(2).flip(3)
    if k == 3:
        return x.transpose(2, 3).flip(3)
    return x


def inference_model(model: nn.Module, device: Any = "cpu") -> nn.Module:
    """A copy of `model` on `device` for evaluation only, computing the same outputs faster.

    For a PolicyValueNet the batch normalisations are folded into the convolutions and
    the result is traced and frozen (no Python per layer); should tracing fail, the folded
    network is used as it is. Other modules are only moved and put in evaluation mode.
    """
    if type(model) is not PolicyValueNet:
        return model.to(device).eval()
    folded = _fold_batch_norms(copy.deepcopy(model).eval()).to(device)
    sample = torch.zeros(1, STATE_PLANES, 5, 5, device=device)
    try:
        with warnings.catch_warnings(), torch.no_grad():
            # The input check in forward is a Python branch that tracing reports and drops.
            warnings.simplefilter("ignore")
            return torch.jit.freeze(torch.jit.trace(folded, sample))
    except Exception:  # noqa: BLE001 - the folded network is a correct fallback
        return folded


def _fold_batch_norms(model: PolicyValueNet) -> PolicyValueNet:
    for layers in (model.stem, model.policy_head, model.value_conv):
        layers[0] = fuse_conv_bn_eval(layers[0], layers[1])
        layers[1] = nn.Identity()
    for block in model.trunk:
        block.conv1, block.bn1 = fuse_conv_bn_eval(block.conv1, block.bn1), nn.Identity()
        block.conv2, block.bn2 = fuse_conv_bn_eval(block.conv2, block.bn2), nn.Identity()
    return model


def model_config(model: PolicyValueNet) -> dict:
    return {"arch": "resnet", "channels": model.channels, "blocks": model.blocks,
            "score_head": model.has_score_head, "mover_corner": model.mover_corner}


def build_model(config: dict) -> PolicyValueNet:
    arch = config.get("arch", "resnet")
    if arch != "resnet":
        raise ValueError(f"unknown network architecture {arch!r}")
    # Checkpoints written before these options existed have neither.
    return PolicyValueNet(channels=int(config["channels"]), blocks=int(config["blocks"]),
                          score_head=bool(config.get("score_head", False)),
                          mover_corner=bool(config.get("mover_corner", False)))


def new_model(seed: Optional[int] = None, **sizes: int) -> PolicyValueNet:
    """A freshly initialised network (channels, blocks) in evaluation mode.

    With a seed the weights are a function of it alone, and torch's global random state is left as it was."""
    if seed is None:
        return PolicyValueNet(**sizes).eval()
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(seed)
        return PolicyValueNet(**sizes).eval()


def save_checkpoint(
    path: os.PathLike | str,
    model: PolicyValueNet,
    *,
    optimizer_state: Optional[dict] = None,
    scheduler_state: Optional[dict] = None,
    scaler_state: Optional[dict] = None,
    step: int = 0,
    engine_config: Optional[dict] = None,
    train_config: Optional[dict] = None,
    extra: Optional[dict] = None,
) -> None:
    """Writes the checkpoint atomically: a reader sees the old file or the new one, never a part."""
    checkpoint = {
        "format": CHECKPOINT_FORMAT,
        "version": CHECKPOINT_VERSION,
        "model_config": model_config(model),
        "model_state": {k: v.detach().cpu() for k, v in model.state_dict().items()},
        "optimizer_state": optimizer_state,
        "scheduler_state": scheduler_state,
        "scaler_state": scaler_state,
        "step": int(step),
        "engine_config": engine_config,
        "train_config": train_config,
        "extra": dict(extra or {}),
    }
    with atomic_write(path) as f:
        torch.save(checkpoint, f)


def checkpoint_dim(checkpoint: dict) -> Optional[int]:
    """The board side a checkpoint was trained (or created) for; None for one that names none."""
    engine_config = checkpoint.get("engine_config") or {}
    dim = engine_config.get("dim") if isinstance(engine_config, dict) else None
    return int(dim) if dim is not None else None


def load_checkpoint(path: os.PathLike | str, map_location: Any = "cpu") -> tuple[PolicyValueNet, dict]:
    """Returns (model in evaluation mode, checkpoint dict); raises ValueError for foreign files.

    Only tensors and plain data are ever unpickled, and the model's size is checked against
    the weights the file holds before the model is built."""
    _check_declared_sizes(path)
    try:
        # A damaged file can make torch warn on stderr; what is wrong is said in one line below.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            checkpoint = torch.load(path, map_location=map_location, weights_only=True)
    except FileNotFoundError:
        raise
    except Exception as error:
        raise ValueError(f"{path}: not a readable network checkpoint ({_load_failure(error)})") from error
    if not isinstance(checkpoint, dict) or checkpoint.get("format") != CHECKPOINT_FORMAT:
        raise ValueError(f"{path}: not a {CHECKPOINT_FORMAT} checkpoint")
    if checkpoint.get("version") != CHECKPOINT_VERSION:
        raise ValueError(f"{path}: checkpoint version {brief(repr(checkpoint.get('version')))} is not supported "
                         f"(this program reads version {CHECKPOINT_VERSION})")
    problem = _weights_problem(checkpoint.get("model_config"), checkpoint.get("model_state")) or \
        _board_problem(checkpoint.get("engine_config"))
    if problem:
        raise ValueError(f"{path}: not a usable network checkpoint ({problem})")
    model = build_model(checkpoint["model_config"])
    try:
        model.load_state_dict(checkpoint["model_state"])
    except (RuntimeError, TypeError, ValueError) as error:
        raise ValueError(f"{path}: the weights do not fit the network ({brief(error)})") from error
    return model.eval(), checkpoint


def _check_declared_sizes(path: os.PathLike | str) -> None:
    """Refuses a checkpoint archive whose members declare more bytes than the file holds
    (checkpoints are written uncompressed), before anything is read from it."""
    try:
        size = os.path.getsize(path)
        if not zipfile.is_zipfile(path):
            return
        with zipfile.ZipFile(path) as archive:
            declared = sum(info.file_size for info in archive.infolist())
    except (OSError, zipfile.BadZipFile, ValueError, EOFError):
        return  # torch.load names what is wrong with the file
    if declared > 2 * size + (1 << 20):
        raise ValueError(f"{path}: not a readable network checkpoint (its members declare {declared} bytes "
                         f"in a file of {size})")


def _load_failure(error: Exception) -> str:
    """torch.load's complaint in one line, without its advice to load the file unsafely."""
    text = re.sub(r"\x1b\[[0-9;]*m", "", str(error))
    refused = re.search(r"Unsupported global: GLOBAL (\S+)", text)
    if refused:
        return f"it holds a {refused.group(1)} object, and nothing but tensors and plain data is ever loaded"
    if "weights_only" in text or "safe_globals" in text:
        return "it holds objects other than tensors and plain data, which are never loaded"
    return brief(text.strip().splitlines()[0] if text.strip() else type(error).__name__)


def _board_problem(engine_config: Any) -> Optional[str]:
    """What is wrong with the board side a checkpoint names, if anything (naming none is fine)."""
    if engine_config is None:
        return None
    if not isinstance(engine_config, dict):
        return "engine_config is not a mapping"
    dim = engine_config.get("dim")
    if dim is not None and not (isinstance(dim, int) and not isinstance(dim, bool) and MIN_DIM <= dim <= MAX_DIM):
        return f"engine_config names the board side {brief(repr(dim))}, not one from {MIN_DIM} to {MAX_DIM}"
    return None


def _weights_problem(config: Any, state: Any) -> Optional[str]:
    """What keeps ``config`` from describing the weights in ``state``, if anything."""
    if not isinstance(config, dict):
        return "no model_config"
    if not isinstance(state, dict) or not all(isinstance(v, torch.Tensor) for v in state.values()):
        return "no model_state of tensors"
    if config.get("arch", "resnet") != "resnet":
        return f"unknown network architecture {brief(repr(config.get('arch')))}"
    channels, blocks = config.get("channels"), config.get("blocks")
    if not all(isinstance(n, int) and not isinstance(n, bool) for n in (channels, blocks)):
        return f"model_config names channels {brief(repr(channels))} and blocks {brief(repr(blocks))}, not integers"
    if channels < 2 or blocks < 0:
        return f"model_config names {channels} channels and {blocks} blocks"
    stem = state.get("stem.0.weight")
    if stem is None or tuple(stem.shape) != (channels, STATE_PLANES, 3, 3):
        held = "no stem" if stem is None else f"a stem of shape {tuple(stem.shape)}"
        return f"model_config names {channels} channels, the weights hold {held}"
    held_blocks = {key.split(".")[1] for key in state if isinstance(key, str) and key.startswith("trunk.")}
    if held_blocks != {str(b) for b in range(blocks)}:
        return f"model_config names {blocks} blocks, the weights hold {len(held_blocks)}"
    for option in ("score_head", "mover_corner"):
        if not isinstance(config.get(option, False), bool):
            return f"model_config names {option} {brief(repr(config[option]))}, not true or false"
    score_head = config.get("score_head", False)
    if score_head != any(isinstance(key, str) and key.startswith("score_fc.") for key in state):
        return f"model_config says score_head {str(score_head).lower()}, the weights say otherwise"
    return None
