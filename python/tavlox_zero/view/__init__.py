"""Views of games and runs: a game's positions move by move (`timeline`), its pictures
(`picture`, PNG and GIF) and the pages of the replay and the play app (`web/`)."""
