"""The training layer: the TensorBoard scalars (`scalars`); the trainer and the loop are to
follow. Imports every layer below the commands but the view."""
