"""Every setting defined once: its name, type, range, default, help, option and whether a
resumed run may change it. The settings the engine reads come from the engine's own table
(`_engine.SETTINGS`), so their defaults live in the C++ source alone.

From a Schema (an ordered group of Settings) follow the fields and defaults of a settings
dataclass (`settings_dataclass`), its checks, with one message form (`Setting.check`), its
`from_dict` (unknown keys refused by name, deprecated names mapped to new ones) and its
command-line options (`Schema.add_arguments`, deprecated option names accepted with a note).
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import operator
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Mapping, Optional

TYPES = {"int": int, "float": float, "str": str}


def number_text(value: Any) -> str:
    """A bound as a message shows it: 1, not 1.0."""
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


@dataclass(frozen=True)
class Setting:
    """One setting. `option` is its command-line option ("--" and the name, dashed, unless
    given; None: no option); `aliases` are deprecated option names that still work;
    `label` names it in messages (default: the option, or the name in a schema that labels by
    name); `finite` refuses infinities and NaN; `wording` replaces the generated rule in a
    message (a message users rely on); `resumable`: a resumed run may change it; `const`:
    the value of the option given without one (its value is then optional); `required`: the
    command needs the option."""

    name: str
    type: type
    default: Any = None
    help: str = ""
    min: Optional[float] = None
    min_exclusive: bool = False
    max: Optional[float] = None
    choices: tuple = ()
    optional: bool = False
    finite: bool = False
    option: Optional[str] = ""
    aliases: tuple = ()
    metavar: Optional[str] = None
    label: Optional[str] = None
    wording: Optional[str] = None
    resumable: bool = False
    const: Any = None
    required: bool = False

    @property
    def option_name(self) -> Optional[str]:
        if self.option == "":
            return "--" + self.name.replace("_", "-")
        return self.option

    def rule(self) -> str:
        """What a valid value is, as the messages say it."""
        if self.wording:
            return self.wording
        if self.choices:
            return f"be one of {', '.join(map(str, self.choices))}"
        low, high = self.min, self.max
        if low is not None and high is not None:
            if self.type is int:
                return f"lie in {number_text(low)} to {number_text(high)}"
            return f"lie in {'(' if self.min_exclusive else '['}{number_text(low)}, {number_text(high)}]"
        if low is not None and self.min_exclusive:
            if low == 0:
                return "be a positive number" if self.finite else "be positive"
            return f"be above {number_text(low)}"
        if low is not None:
            return f"be at least {number_text(low)}"
        return "be a finite number" if self.finite else f"be a {self.type.__name__}"

    def coerce(self, value: Any, label: str) -> Any:
        """`value` as the setting's type: an integral float becomes an int, an int a float;
        raises TypeError for a value of another kind (bool is not an integer here)."""
        if value is None and self.optional:
            return None
        if self.type is int:
            if isinstance(value, float) and value.is_integer():
                return int(value)
            if not isinstance(value, bool):
                try:
                    return operator.index(value)
                except TypeError:
                    pass
            raise TypeError(f"{label} must be an integer, got {value!r}")
        if self.type is float:
            if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(value, "__float__"):
                raise TypeError(f"{label} must be a number, got {value!r}")
            return float(value)
        if not isinstance(value, self.type):
            raise TypeError(f"{label} must be a {self.type.__name__}, got {value!r}")
        return value

    def valid(self, value: Any) -> bool:
        if value is None:
            return self.optional
        if self.choices:
            return value in self.choices
        if not isinstance(value, (int, float)):
            return True
        if math.isnan(value) or (self.finite and not math.isfinite(value)):
            return False
        if self.min is not None and not (value > self.min if self.min_exclusive else value >= self.min):
            return False
        return self.max is None or value <= self.max

    def check(self, value: Any, label: Optional[str] = None) -> None:
        """Raises ValueError in the one form "LABEL must RULE, got VALUE" when `value` is out of range."""
        if not self.valid(value):
            shown = repr(value) if isinstance(value, str) else value
            raise ValueError(f"{label or self.label or self.name} must {self.rule()}, got {shown}")


@dataclass(frozen=True)
class Schema:
    """An ordered group of settings. `label_by` "option": messages name the option (settings
    given on the command line), "name": the field (settings read from saved files);
    `renamed`: old keys of saved dicts and their new names; `title`: the option group's."""

    title: str
    settings: tuple
    label_by: str = "option"
    renamed: Mapping[str, str] = field(default_factory=dict)
    what: str = "settings"

    def __getitem__(self, name: str) -> Setting:
        for setting in self.settings:
            if setting.name == name:
                return setting
        raise KeyError(name)

    @property
    def names(self) -> tuple:
        return tuple(s.name for s in self.settings)

    def defaults(self) -> dict:
        return {s.name: s.default for s in self.settings}

    def label(self, setting: Setting) -> str:
        if setting.label:
            return setting.label
        if self.label_by == "option" and setting.option_name:
            return setting.option_name
        return setting.name

    def validate(self, values: Mapping[str, Any]) -> dict:
        """The values coerced to their types and checked, in the one message form."""
        checked = {}
        for name, value in values.items():
            setting = self[name]
            label = self.label(setting)
            checked[name] = setting.coerce(value, label if self.label_by == "option" else name)
            setting.check(checked[name], label)
        return checked

    def known(self, values: Optional[Mapping[str, Any]]) -> dict:
        """`values` with deprecated keys renamed; raises ValueError naming every unknown key."""
        values = {self.renamed.get(k, k): v for k, v in dict(values or {}).items()}
        unknown = sorted(set(values) - set(self.names))
        if unknown:
            raise ValueError(f"unknown {self.what}: {', '.join(unknown)}")
        return values

    def resumable(self) -> tuple:
        return tuple(s.name for s in self.settings if s.resumable)

    def add_arguments(self, parser: argparse.ArgumentParser, defaults: Optional[Mapping[str, Any]] = None,
                      group: Optional[Any] = None, only: Optional[Iterable[str]] = None,
                      unset: bool = False) -> Any:
        """One option per setting with an option, into `group` (default: a new group titled
        as the schema); `defaults` replaces the settings' defaults; `only` limits the settings;
        `unset`: every option defaults to None (left out), its help still naming the default."""
        group = group if group is not None else parser.add_argument_group(self.title)
        defaults = dict(defaults or {})
        for setting in self.settings:
            if setting.option_name is None or (only is not None and setting.name not in only):
                continue
            default = defaults.get(setting.name, setting.default)
            add_option(group, setting, None if unset else default, default)
        return group


def add_option(group: Any, setting: Setting, default: Any, shown: Any = None) -> None:
    shown = shown if shown is not None else setting.default if default is None else default
    kwargs: dict = {"dest": setting.name, "default": default,
                    "help": setting.help.replace("{default}", str(shown).replace("%", "%%"))}
    if setting.type is bool:
        kwargs["action"] = "store_true"
    else:
        kwargs["type"] = setting.type
        if setting.choices and setting.type is not int:
            kwargs["choices"] = setting.choices
        if setting.metavar:
            kwargs["metavar"] = setting.metavar
        if setting.const is not None:
            kwargs.update(nargs="?", const=setting.const)
    if setting.required:
        kwargs["required"] = True
    group.add_argument(setting.option_name, **kwargs)
    for alias in setting.aliases:
        add_deprecated_alias(group, alias, setting.option_name, kwargs)


def add_deprecated_alias(group: Any, alias: str, option: str, kwargs: dict) -> None:
    """`alias` as a hidden option that stores into `option`'s destination with a one-line note."""
    note = f"tavlox-zero: {alias} is deprecated: use {option}"

    class Deprecated(argparse.Action):
        def __call__(self, parser, namespace, values, option_string=None):
            print(note, file=sys.stderr)
            setattr(namespace, self.dest, values)

    extra = {k: v for k, v in kwargs.items() if k in ("type", "choices", "metavar")}
    group.add_argument(alias, dest=kwargs["dest"], action=Deprecated, default=argparse.SUPPRESS,
                       help=argparse.SUPPRESS, **extra)


def engine_schema(table: str, title: str, label_by: str, overrides: Mapping[str, Mapping[str, Any]],
                  what: str) -> Schema:
    """A schema from one of the engine's settings tables, with Python's options and wordings."""
    from .._engine import SETTINGS

    settings = []
    for row in SETTINGS[table]:
        kind = TYPES[row["type"].rstrip("?")]
        numeric = kind is not str
        values = dict(name=row["name"], type=kind, default=row["default"], help=row["help"],
                      min=row["min"] if numeric else None, min_exclusive=row["min_exclusive"],
                      max=row["max"] if numeric else None, choices=row["choices"],
                      optional=row["type"].endswith("?"))
        settings.append(Setting(**{**values, **overrides.get(row["name"], {})}))
    return Schema(title, tuple(settings), label_by=label_by, what=what)


def settings_dataclass(schema: Schema, frozen: bool = False) -> Callable[[type], type]:
    """A class decorator: the schema's settings become the class's dataclass fields, in the
    schema's order, with the schema's defaults (fields the class annotates itself come first)."""

    def decorate(cls: type) -> type:
        annotations = dict(cls.__dict__.get("__annotations__", {}))
        for setting in schema.settings:
            if setting.name not in annotations:
                annotations[setting.name] = Optional[setting.type] if setting.optional else setting.type
                setattr(cls, setting.name, setting.default)
        cls.__annotations__ = annotations
        cls.schema = schema
        return dataclasses.dataclass(frozen=frozen)(cls)

    return decorate
