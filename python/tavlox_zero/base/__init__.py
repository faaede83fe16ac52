"""The bottom layer: the errors commands report in one line, and atomic file writes. Imports
nothing of the package."""
