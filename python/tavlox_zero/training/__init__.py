"""The training layer: the trainer's and the loop's settings (`settings`), the trainer
(`trainer`), the loop (`loop`) and the TensorBoard scalars (`scalars`); the `train` and `loop`
commands are in commands/. Imports every layer below the commands but the view."""
