"""tessaryne: a server and concurrency runtime for free-threaded CPython.

The native core lives in :mod:`tessaryne._tessaryne_core`.
"""

from typing import Any

__all__ = ["run"]

__version__ = "0.1.0"


def run(app: Any, **settings: Any) -> None:
    """Serves ``app`` as ``python -m tessaryne`` does, until SIGINT or SIGTERM.

    ``app`` is an ASGI application, or a WSGI one (``interface="wsgi"``, or
    ``"auto"`` for a plain callable of two arguments), or ``"module:attribute"`` naming one (as
    ``workers`` and ``reload`` need, for the server processes to import it). The keywords
    are the fields of ``tessaryne.server.Config``, the very settings the
    command line sets: ``run(app, host="0.0.0.0", port=8000, threads=4)``."""
    from .server.config import Config
    from .server.launch import run as serve
    from .server.loading import configure_logging

    if isinstance(app, str):
        settings.setdefault("app_name", app)
    config = Config(app=app, **settings)
    configure_logging(config)
    serve(config)
