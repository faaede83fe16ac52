"""The rating layer: match statistics and their intervals (`stats`), Elo ratings (`elo`) and
the sequential test that accepts or rejects a candidate network (`sprt`). Plain arithmetic:
imports nothing of the package."""
