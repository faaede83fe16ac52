"""`tavlox-zero play`: a local web app in which a person plays one seat against the network.

The server (`view.play_server`) keeps every game (`view.play_app`) and checks every request
with the rules engine; the page only draws what the server sends. Only this machine's pages
reach it, and every finished game is recorded in a file of its own with `--record-dir`.
"""

from __future__ import annotations

import argparse
from pathlib import Path

from ..base.errors import CommandFailed, UsageError, readable_file, writable_directory
from ..engine.engine_config import SCHEMA as ENGINE
from ..engine.rules import Game
from ..nets.inference import BACKENDS
from ..players.network_player import load_player
from ..view.play_app import PlayApp, network_piece
from ..view.play_server import make_server
# The names this module held before the play app moved to view/, for the callers that import them here.
from ..view.play_app import MAX_SESSIONS, RequestError, Session  # noqa: F401
from ..view.play_server import (LOOPBACK_NAMES, MAX_BODY_BYTES, MAX_CONNECTIONS,  # noqa: F401
                                REQUEST_TIMEOUT_SECONDS, PlayServer, make_handler)

HELP = "play one seat against the network in the browser (local web app)"


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("checkpoint", type=Path, help="the network to play against")
    parser.add_argument("--sims", type=int, default=ENGINE["sims_per_move"].default,
                        help="search simulations per network tile (default %(default)s)")
    parser.add_argument("--backend", choices=BACKENDS, default="auto",
                        help="what runs the network: auto (the fastest here that agrees with fp32 PyTorch), "
                             "torch, torch-bf16, onnxruntime or openvino (default %(default)s)")
    parser.add_argument("--seat", type=int, choices=(1, 2, 3, 4), default=1,
                        help="your seat: 1 starts top-left, then clockwise (default %(default)s)")
    parser.add_argument("--port", type=int, default=8765, help="port on 127.0.0.1 (default %(default)s; 0 for any)")
    parser.add_argument("--dim", type=int, help="board side (default: the checkpoint's)")
    parser.add_argument("--record-dir", type=Path, help="write every finished game here (for `tavlox-zero show`)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the search's random draws")


def run(args: argparse.Namespace) -> int:
    readable_file(args.checkpoint, "checkpoint")
    if args.record_dir is not None:
        writable_directory(args.record_dir, "--record-dir")
        try:
            args.record_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise UsageError(f"--record-dir {args.record_dir}: {error.strerror or error}") from error
    try:
        player, trained_dim = load_player(args.checkpoint, args.sims, args.seed, args.backend)
        Game(args.dim or trained_dim)
    except (OSError, ValueError, OverflowError) as error:
        raise CommandFailed(str(error)) from error
    app = PlayApp(network_piece(player), args.dim or trained_dim, args.seat - 1, args.record_dir)
    try:
        server = make_server(app, args.port)
    except OSError as error:
        raise UsageError(f"--port {args.port}: cannot listen on 127.0.0.1 ({error.strerror or error})") from error
    host, port = server.server_address[:2]
    print(f"playing seat {args.seat} on a {app.dim}x{app.dim} board: open http://{host}:{port}/  (Ctrl-C stops)",
          flush=True)
    with server:
        server.serve_forever()
    return 0
