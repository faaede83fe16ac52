"""The settings schema and what follows from it: every option of every command parses and reads
the same from a --config file; every schema setting refuses an out-of-range value in the one
message form and round-trips through from_dict; deprecated names map to the new ones; a run
directory's config.toml starts a run with the same settings; a resumed run may change exactly
the settings flagged resumable, which its help lists."""

import argparse
import dataclasses
import json
import re

import pytest

pytest.importorskip("torch")

from tavlox_zero import cli  # noqa: E402
from tavlox_zero.engine.engine_config import SCHEMA as ENGINE, EngineConfig  # noqa: E402
from tavlox_zero.engine.search_settings import MATCH, SEARCH, MatchSettings, SearchSettings  # noqa: E402
from tavlox_zero.pool_options import POOL, PoolSettings  # noqa: E402
from tavlox_zero.training.settings import (ADJUSTABLE, LOOP, RUN_SETTINGS, TRAIN, LoopConfig,  # noqa: E402
                                           TrainConfig)

PARSER = cli.build_parser()
SKIPPED = (argparse._HelpAction, argparse._VersionAction)


def sample(action: argparse.Action):
    """A value the option takes, as it is written on the command line and in a TOML file."""
    if isinstance(action, argparse._StoreTrueAction):
        return True
    if action.choices:
        return [list(action.choices)[-1]] if action.nargs == "+" else list(action.choices)[-1]
    if action.type is int:
        return 3
    if action.type is float:
        return 0.5
    return "random:2" if action.dest == "opening" else "x"


def options():
    """(command, the words it needs besides the option, the option) for every option of every command."""
    cases = []
    for command, parser in PARSER.commands.items():
        positionals = ["x" for a in parser._actions if not a.option_strings]
        for action in parser._actions:
            if action.option_strings and action.dest not in ("config", "debug") and not isinstance(action, SKIPPED):
                if action.help != argparse.SUPPRESS:
                    required = [w for a in parser._actions if a.required and a.option_strings and a is not action
                                for w in (a.option_strings[0], str(sample(a)))]
                    cases.append(pytest.param(command, positionals + required, action,
                                              id=f"{command} {action.option_strings[0]}"))
    return cases


def parse(argv):
    args, unknown = PARSER.parse_known_args(cli.with_config_file(PARSER, argv))
    assert not unknown, unknown
    return {k: v for k, v in vars(args).items() if k != "config"}


@pytest.mark.parametrize("command, positionals, action", options())
def test_every_option_parses_and_reads_the_same_from_a_config_file(tmp_path, command, positionals, action):
    value = sample(action)
    key = next(o for o in action.option_strings if o.startswith("--")).lstrip("-")
    (tmp_path / "settings.toml").write_text(f"{key} = {json.dumps(value)}\n")
    words = [] if value is True else list(map(str, value)) if isinstance(value, list) else [str(value)]
    given = parse([command, *positionals, action.option_strings[0], *words])
    assert given[action.dest] == (action.type(value) if action.type and not isinstance(value, (bool, list)) else value)
    from_file = parse([command, *positionals, "--config", str(tmp_path / "settings.toml")])
    assert from_file == given, f"{key} from the file differs from the option"
    overridden = parse([command, *positionals, "--config", str(tmp_path / "settings.toml"),
                        *([action.option_strings[0], *words] if value is not True else [])])
    assert overridden == given


SCHEMAS = (ENGINE, SEARCH, MATCH, POOL, TRAIN, LOOP)
MAKERS = dict(zip(map(id, SCHEMAS), (EngineConfig, SearchSettings, MatchSettings, PoolSettings,
                                               TrainConfig, LoopConfig)))
SETTINGS = [(schema, setting) for schema in SCHEMAS for setting in schema.settings]


def out_of_range(setting):
    if setting.min is not None:
        return setting.type(setting.min) - (0 if setting.min_exclusive else 1)
    if setting.max is not None:
        return setting.max + 1
    return float("inf") if setting.finite else None


@pytest.mark.parametrize("schema, setting", SETTINGS, ids=[f"{s.title} {t.name}" for s, t in SETTINGS])
def test_every_setting_checks_its_range_and_round_trips(schema, setting):
    make = MAKERS[id(schema)]
    default = make()
    assert getattr(default, setting.name) == setting.default
    assert make.from_dict(default.to_dict()) == default
    bad = out_of_range(setting)
    if bad is not None:
        label = re.escape(schema.label(setting))
        with pytest.raises(ValueError, match=rf"^{label} must {re.escape(setting.rule())}, got "):
            make(**{setting.name: bad})
    with pytest.raises(ValueError, match=f"unknown {schema.what}: bogus"):
        make.from_dict({**default.to_dict(), "bogus": 1})


@pytest.mark.parametrize("command, old, new", [
    ("ladder", "--simulations", "simulations"),
    ("loop", "--eval-simulations", "eval_simulations"),
])
def test_deprecated_names_map_to_the_new_ones(tmp_path, capsys, command, old, new):
    assert parse([command, "run", old, "5"])[new] == 5
    assert f"{old} is deprecated: use --match-simulations" in capsys.readouterr().err
    (tmp_path / "old.toml").write_text(f"{old.lstrip('-')} = 6\n")
    assert parse([command, "run", "--config", str(tmp_path / "old.toml")])[new] == 6


def test_a_config_file_with_unknown_keys_is_a_usage_error(tmp_path, capsys):
    (tmp_path / "bad.toml").write_text("sims = 2\n[search]\nroots = 'puct'\nbogus = 1\n")
    assert cli.main(["selfplay", "--config", str(tmp_path / "bad.toml")]) == 2
    assert "unknown settings for this command: bogus, roots" in capsys.readouterr().err


def test_a_run_directory_config_toml_starts_a_run_with_its_settings(tmp_path):
    from tavlox_zero.commands import loop

    argv = ["loop", str(tmp_path / "a"), "--sims", "7", "--lr", "0.01", "--root", "gumbel", "--match-simulations", "3",
            "--fixed-players", "none", "--steps", "5"]
    config = loop.config_from_args(argparse.Namespace(**parse(argv)))
    loop.save_run_config(loop.RunDirectory(tmp_path / "a"), config)
    again = parse(["loop", str(tmp_path / "b"), "--config", str(tmp_path / "a" / "config.toml")])
    assert loop.config_from_args(argparse.Namespace(**again)) == config
    assert dataclasses.asdict(config.loop)["eval_simulations"] == 3


def another(setting, value):
    """A valid value of `setting` other than `value`."""
    if setting.choices:
        return next(choice for choice in setting.choices if choice != value)
    if setting.type is str:
        return "none" if value == "all" else "all"
    if value is None:
        return 1
    step = 1 if setting.type is int else 0.05
    return value + step if setting.max is None or value + step <= setting.max else value - step


@pytest.mark.parametrize("section, setting", RUN_SETTINGS, ids=[f"{sec} {s.name}" for sec, s in RUN_SETTINGS])
def test_a_resume_may_change_exactly_the_resumable_settings(section, setting):
    from tavlox_zero.commands import loop
    from tavlox_zero.base.errors import UsageError

    saved = loop.config_from_args(argparse.Namespace(**parse(["loop", "run"])))
    value = another(setting, saved.sections()[section][setting.name])
    args = argparse.Namespace(**parse(["loop", "run", setting.option_name, str(value)]))
    title = next(g.title for g in PARSER.commands["loop"]._action_groups if g.title.startswith("loop"))
    assert (setting.option_name in title) == setting.resumable == (setting.name in ADJUSTABLE), title
    if setting.resumable:
        assert loop.resumed_config("run", saved, args).sections()[section][setting.name] == value
    else:
        with pytest.raises(UsageError, match=f"was started with other settings: {setting.option_name} "):
            loop.resumed_config("run", saved, args)
