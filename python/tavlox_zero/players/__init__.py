"""Players: what plays a command's games behind one interface (`player.GamePlayer`): the
batched engine in this process (`batched_player`), Ray actors (`distributed`), the worker
pool of engine processes and its inference server (`pool`, `worker_processes`, `job_runner`,
`pool_stats`, `worker`, `server`, `transport`, chosen by `pool_options`), single positions
(`network_player`), the hand-written reference players (`reference`), and the matches they
play (`matches`).

Importing this package imports nothing else: worker processes import `players.worker` and
stay light.
"""
