"""The data layer: self-play shards, their reading and writing, and the training datasets
built from them (`dataset`). Imports the engine and base layers."""
