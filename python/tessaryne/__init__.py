"""tessaryne: a server and concurrency runtime for free-threaded CPython.

The native core lives in :mod:`tessaryne._tessaryne_core`.
"""

__version__ = "0.1.0"
