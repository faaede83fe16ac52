"""Views of games and runs: a game's positions move by move (`timeline`), its pictures
(`picture`, PNG and GIF), the pages of the replay and the play app (`web/`), and the
progress plot of a training run (`plotting`)."""
