"""Views of games and runs, and the front ends people and programs talk to: a game's positions
move by move (`timeline`), its pictures (`picture`, PNG and GIF), the replay page (`replay`),
the play app's games and HTTP server (`play_app`, `play_server`) with the pages of `web/`,
and the text-protocol session (`gtp_session`)."""
