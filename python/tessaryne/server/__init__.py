"""An ASGI server that runs one event loop per core in one free-threaded
process, each loop driving its connections through the native engine."""

from .config import Config
from .runner import Server

__all__ = ["Config", "Server"]
