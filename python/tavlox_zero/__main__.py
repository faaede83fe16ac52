"""`python -m tavlox_zero` runs the command line."""

from tavlox_zero.cli import main

# Spawned worker processes import this module under another name; only a real run starts the command.
if __name__ == "__main__":
    raise SystemExit(main())
