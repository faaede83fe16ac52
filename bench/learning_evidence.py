"""Learning evidence: training runs under a time budget, each final network measured against
untrained networks of several seeds under the same protocol, and a table of the results.

    python bench/learning_evidence.py run --out runs/evidence --dim 7 --seeds 0 1 2 \\
        --minutes 10 --variant gumbel -- --root gumbel --sims 16
    python bench/learning_evidence.py report runs/evidence

`run` trains with `tavlox-zero loop --minutes` (an iteration that would end past the budget at
the pace of the last one is shrunk to fit), then evaluates the final network (`checkpoints/current.pt`) with
`tavlox-zero evaluate --untrained-seeds`: greedily and with search, from every legal first
tile equally often, against three random players in seat 0 and, with the seats rotated,
against three of each of `--fixed-players`, and writes RUN/evidence.json. Arguments
after `--` go to the loop unchanged. `report` prints one Markdown row per run.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

COMMAND = [sys.executable, "-m", "tavlox_zero"]


def parse_args(argv: list[str]) -> argparse.Namespace:
    loop_args: list[str] = []
    if "--" in argv:
        cut = argv.index("--")
        argv, loop_args = argv[:cut], argv[cut + 1:]
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="train and evaluate one run per seed")
    run.add_argument("--out", type=Path, required=True, help="directory holding one run directory per seed")
    run.add_argument("--dim", type=int, required=True)
    run.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    run.add_argument("--variant", required=True, help="a name for the loop options after --")
    run.add_argument("--minutes", type=float, default=10.0, help="training time per run (default %(default)s)")
    run.add_argument("--eval-games", type=int, default=400, help="games per measure (default %(default)s)")
    run.add_argument("--eval-simulations", type=int, default=32, help="simulations of the search measure")
    run.add_argument("--untrained-seeds", type=int, default=3)
    run.add_argument("--fixed-players", default="random-tiles,largest-piece",
                     help="reference players measured with the seats rotated (evaluate --fixed-players; "
                          "default %(default)s)")
    report = commands.add_parser("report", help="print the results as a Markdown table")
    report.add_argument("out", type=Path)
    args = parser.parse_args(argv)
    args.loop_args = loop_args
    return args


def train(run_dir: Path, args: argparse.Namespace, seed: int) -> dict:
    started = time.monotonic()
    subprocess.run(COMMAND + ["loop", str(run_dir), "--iterations", "1000", "--minutes", str(args.minutes),
                              "--dim", str(args.dim), "--seed", str(seed)] + args.loop_args, check=True)
    state = json.loads((run_dir / "state.json").read_text())
    return {"iterations": state["completed_iterations"], "training_seconds": round(time.monotonic() - started, 1)}


def evaluate(run_dir: Path, args: argparse.Namespace) -> dict:
    report = run_dir / "evaluation.json"
    subprocess.run(COMMAND + ["evaluate", str(run_dir / "checkpoints" / "current.pt"), "--games",
                              str(args.eval_games), "--opening", "first-tile", "--match-simulations",
                              str(args.eval_simulations), "--untrained-seeds", str(args.untrained_seeds),
                              "--game-seed", "12345", "--fixed-players", args.fixed_players,
                              "--json", str(report)] + evaluation_search(args.loop_args),
                   check=True)
    return json.loads(report.read_text())


def evaluation_search(loop_args: list[str]) -> list[str]:
    """The loop's root-search options, so that the search measure searches as self-play did."""
    keep = ("--root", "--fpu-reduction", "--gumbel-actions", "--c-visit", "--c-scale", "--rollout-weight",
            "--rollout-player", "--rollouts", "--rollout-temperature")
    picked = []
    for i, arg in enumerate(loop_args):
        if arg in keep and i + 1 < len(loop_args):
            picked += [arg, loop_args[i + 1]]
    return picked


def run(args: argparse.Namespace) -> None:
    for seed in args.seeds:
        run_dir = args.out / f"{args.variant}-{args.dim}x{args.dim}-seed{seed}"
        if (run_dir / "evidence.json").exists():
            print(f"{run_dir}: done already")
            continue
        training = train(run_dir, args, seed)
        evaluation = evaluate(run_dir, args)
        evidence = {"variant": args.variant, "dim": args.dim, "seed": seed, "loop_args": args.loop_args,
                    **training, "evaluation": evaluation}
        (run_dir / "evidence.json").write_text(json.dumps(evidence, indent=1))
        print(f"{run_dir}: {training}")


def interval(summary: dict) -> str:
    ci = summary["payoff_ci"]
    return f"{summary['mean_payoff']:.3f} [{ci['low']:.3f}, {ci['high']:.3f}]"


def report(out: Path) -> None:
    print("| run | iterations | minutes | play | final network | its own initial network | untrained, pooled "
          "| above pooled | above every seed |")
    print("|---|---|---|---|---|---|---|---|---|")
    for path in sorted(out.glob("*/evidence.json")):
        evidence = json.loads(path.read_text())
        evaluation = evidence["evaluation"]
        rows = [(row, evaluation["measures"]) for row in evaluation.get("separation", [])]
        rows += [(row, evaluation["fixed_players"]) for row in evaluation.get("fixed_separation", [])]
        for row, all_measures in rows:
            opponents = row.get("opponents")
            measures = {m["network"]: m["summary"] for m in all_measures
                        if m["play"] == row["play"] and m.get("opponents") == opponents}
            initial = measures.get(f"untrained seed {evidence['seed']}")
            play = row["play"] + (f", every seat vs three {opponents}" if opponents else ", seat 0 vs three random-tiles")
            print(f"| {path.parent.name} | {evidence['iterations']} | {evidence['training_seconds'] / 60:.1f} "
                  f"| {play} | {interval(measures['model'])} | {interval(initial) if initial else '-'} "
                  f"| {interval(row['pooled_untrained'])} | {'yes' if row['above_pooled'] else 'no'} "
                  f"| {'yes' if row['above_every_seed'] else 'no'} |")


def main() -> None:
    args = parse_args(sys.argv[1:])
    if args.command == "run":
        run(args)
    else:
        report(args.out)


if __name__ == "__main__":
    main()
