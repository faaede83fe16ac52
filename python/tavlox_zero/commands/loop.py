"""The `loop` command: iterations of self-play, training and evaluation in a run directory
(training/loop.py). A new run's settings come from the options; a resumed run keeps its saved
ones and may change only those flagged resumable (training/settings.py).
"""

from __future__ import annotations

import argparse
from dataclasses import asdict, replace
from pathlib import Path

import torch

from ..base.errors import UsageError, writable_directory
from ..base.settings import Setting, add_option
from ..engine.engine_config import EngineConfig
from ..engine.engine_config import add_arguments as add_engine_arguments
from ..engine.search_settings import SearchSettings
from ..players.pool_options import PoolSettings
from ..training.loop import TrainingLoop
from ..training.run_directory import RunDirectory, read_run_config, save_run_config
from ..training.settings import (ADJUSTABLE, LOOP, LOOP_TRAIN_DEFAULTS, LOOP_TRAINING, RUN_SETTINGS, TRAIN, LoopConfig,
                                 RunConfig, TrainConfig, adjustable_options)

HELP = "run iterations of self-play, training and evaluation in a run directory"


MINUTES = Setting("minutes", float, optional=True, min=0, min_exclusive=True, finite=True,
                  help="time budget of this invocation: an iteration that would end past it at the pace of the "
                       "last one is shrunk to fit (fewer games and steps), and none starts when less than a "
                       "quarter of one fits (not saved; the run resumes where it stopped)")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("run_dir", type=Path, help="directory of the run (created, or resumed when it exists)")
    add_engine_arguments(parser)
    group = parser.add_argument_group(
        f"loop (a resumed run keeps its saved settings; only {', '.join(adjustable_options())} may change)")
    add_option(group, MINUTES, None)
    # Unset options mean "the saved value" on a resume, so they default to None.
    LOOP.add_arguments(parser, group=group, unset=True)
    TRAIN.add_arguments(parser, defaults=LOOP_TRAIN_DEFAULTS, group=group, only=LOOP_TRAINING, unset=True)
    parser.set_defaults(**{setting.name: None for section, setting in RUN_SETTINGS if section == "engine"})
    PoolSettings.add_arguments(parser)
    SearchSettings.add_arguments(parser)


def given_settings(args: argparse.Namespace) -> dict:
    """The run settings named on the command line, by field: {(section, field): (option, value)}."""
    return {(section, setting.name): (setting.option_name, getattr(args, setting.name))
            for section, setting in RUN_SETTINGS if getattr(args, setting.name) is not None}


def config_from_args(args: argparse.Namespace) -> RunConfig:
    """A new run's settings: the options given, the defaults for the rest; raises UsageError
    naming the first option whose value cannot work."""
    given = {key: value for key, (_, value) in given_settings(args).items()}
    try:
        engine = EngineConfig(**{name: given.get(("engine", name), default)
                                 for name, default in asdict(EngineConfig()).items()})
        loop = LoopConfig(**{name: given[("loop", name)] for name in LOOP.names if ("loop", name) in given})
        # With steps from the reuse target each iteration sets the schedule's length (see TrainingLoop.train).
        train = TrainConfig(**{**TRAIN.defaults(), **LOOP_TRAIN_DEFAULTS,
                               **{name: value for (section, name), value in given.items() if section == "train"},
                               "schedule_steps": loop.iterations * loop.steps_per_iteration})
        search = SearchSettings.from_args(args)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from error
    return RunConfig(engine=engine.to_dict(), train=train, loop=loop, search=search.to_dict())


def resumed_config(run_dir: Path, saved: RunConfig, args: argparse.Namespace) -> RunConfig:
    """The saved settings with the adjustable ones the command line changes; refuses any other
    change, naming the options and their saved values."""
    conflicts, changed = [], {}
    sections = saved.sections()
    for (section, name), (option, value) in given_settings(args).items():
        saved_value = sections[section].get(name)
        if value == saved_value:
            continue
        if name in ADJUSTABLE:
            changed[name] = value
        else:
            conflicts.append(f"{option} {value} (saved: {saved_value})")
    conflicts += search_conflicts(SearchSettings.from_dict(saved.search), args)
    if conflicts:
        raise UsageError(f"{run_dir} was started with other settings: {', '.join(conflicts)}; leave these options "
                         f"out to resume it, or start a new run in another directory")
    if not changed:
        return saved
    try:
        loop = replace(saved.loop, **changed)
    except (TypeError, ValueError) as error:
        raise UsageError(str(error)) from error
    return RunConfig(engine=saved.engine, train=saved.train, loop=loop, search=saved.search)


def search_conflicts(saved: SearchSettings, args: argparse.Namespace) -> list[str]:
    """The search options of a resume that differ from the run's saved search. An option at its
    default counts as left out, since the parser cannot tell the two apart."""
    defaults, given = SearchSettings(), SearchSettings.from_args(args)
    conflicts = []
    for name, value in asdict(given).items():
        if value != getattr(defaults, name) and value != getattr(saved, name):
            conflicts.append(f"--{name.replace('_', '-')} {value} (saved: {getattr(saved, name)})")
    return conflicts


def run(args: argparse.Namespace) -> int:
    try:
        pool = PoolSettings.from_args(args)
    except (TypeError, ValueError, RuntimeError) as error:
        raise UsageError(str(error)) from error
    try:
        MINUTES.check(args.minutes, MINUTES.option_name)
    except ValueError as error:
        raise UsageError(str(error)) from error
    dirs = RunDirectory(args.run_dir)
    if dirs.root.exists() and not dirs.root.is_dir():
        raise UsageError(f"{dirs.root} is not a directory: name a run directory")
    saved = read_run_config(dirs.config)
    config = config_from_args(args) if saved is None else resumed_config(dirs.root, saved, args)
    writable_directory(dirs.root, "run directory")
    torch.set_num_threads(pool.threads)
    if saved is None:
        loop = TrainingLoop.open(args.run_dir, config, pool)
    else:
        loop = TrainingLoop(args.run_dir, config, pool)
        if config is not saved:
            save_run_config(dirs, config)
        print(f"resuming {args.run_dir} after iteration {loop.state()['completed_iterations']} with its saved settings")
    loop.run(minutes=args.minutes)
    print(f"done: {loop.dirs.metrics}, {loop.dirs.plot}")
    return 0
