"""askweave: fast, deterministic context preparation for questions over databases.

Two native modules:

* :mod:`askweave.schemasift` picks the slice of a database catalog that a
  question needs.
* :mod:`askweave.turnlens` decides what a new chat message means given the
  memory cards of earlier turns.
"""

__version__ = "0.1.0"
"""The version of the package."""
__all__ = ["__version__"]
