"""`tavlox-zero gtp`: the network as a text-protocol engine on standard input and output, in
the style of the Go Text Protocol, so that GUIs and tournament tools can play against it.
The protocol's commands and replies are those of `view.gtp_session.GtpSession`.
"""

from __future__ import annotations

import argparse
import io
import sys
import warnings
from pathlib import Path

from ..base.errors import CommandFailed, readable_file
from ..engine.engine_config import SCHEMA as ENGINE
from ..nets.inference import BACKENDS
from ..players.network_player import load_player
from ..view.gtp_session import GtpSession, serve
from ..view.gtp_session import PROTOCOL_VERSION, CommandError  # noqa: F401 - this module's names before the move

HELP = "play the network through a text protocol on stdin/stdout (GTP style)"


def __getattr__(name: str):
    """`Engine`, the old name of GtpSession, kept for one release."""
    if name == "Engine":
        warnings.warn("Engine is now GtpSession", DeprecationWarning, stacklevel=2)
        return GtpSession
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("checkpoint", type=Path, help="the network")
    parser.add_argument("--sims", type=int, default=ENGINE["sims_per_move"].default,
                        help="search simulations per tile (default %(default)s)")
    parser.add_argument("--backend", choices=BACKENDS, default="auto",
                        help="what runs the network: auto (the fastest here that agrees with fp32 PyTorch), "
                             "torch, torch-bf16, onnxruntime or openvino (default %(default)s)")
    parser.add_argument("--dim", type=int, help="board side at the start (default: the checkpoint's)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the search's random draws")
    parser.add_argument("--threads", type=int, default=1, help="torch threads (default %(default)s)")


def run(args: argparse.Namespace) -> int:
    import torch

    torch.set_num_threads(max(1, args.threads))
    readable_file(args.checkpoint, "checkpoint")
    try:
        player, trained_dim = load_player(args.checkpoint, args.sims, args.seed, args.backend)
        session = GtpSession(lambda game: [c.tile for c in player.play_piece(game)], args.dim or trained_dim)
    except (OSError, ValueError, OverflowError) as error:
        raise CommandFailed(str(error)) from error
    # Bytes that are not UTF-8 become U+FFFD, so that such a line is answered like any other.
    source = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8", errors="replace")
    sink = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", errors="replace")
    try:
        serve(session, source, sink)
    finally:
        sink.flush()
        source.detach()
        sink.detach()
    return 0
