"""Demonstration runs of the askweave modules (``python -m askweave.demos``)."""
