"""Settings of one server run, shared read-only by every loop thread."""

from __future__ import annotations

import os
import ssl
from collections.abc import Callable
from dataclasses import dataclass, field, fields
from typing import Literal

from .._tessaryne_core import AccessLogFormat
from ..executor import default_workers
from .asgi import ASGIApp

__all__ = ["AppFactory", "Config", "UsageError"]

# Makes one application; with Config.factory, called once on every loop thread.
AppFactory = Callable[[], ASGIApp]


class UsageError(Exception):
    """A mistake in how the server was asked to run, reported as one line."""


# The range of each numeric setting (None: unbounded above); a setting that
# may be None is left out when it is.
_BOUNDS: dict[str, tuple[int, int | None]] = {
    "port": (0, 65535), "metrics_port": (0, 65535), "fd": (0, None), "uds_perms": (0, 0o777), "backlog": (1, None),
    "threads": (1, None), "workers": (1, None), "executor_threads": (1, None), "limit_concurrency": (1, None),
    "limit_max_requests": (1, None), "limit_max_requests_jitter": (0, None), "max_body_size": (0, None),
    "max_header_size": (1, None), "max_keepalive_requests": (1, None), "min_body_rate": (0, None),
    "read_buffer_limit": (1, None), "ws_max_size": (1, None), "ws_max_queue": (1, None), "ssl_cert_reqs": (0, 2),
    "ssl_version": (0, None), "keep_alive_timeout": (0, None), "head_timeout": (0, None), "body_timeout": (0, None),
    "linger_timeout": (0, None), "shutdown_timeout": (0, None), "reload_delay": (0, None),
    "ws_ping_interval": (0, None), "ws_ping_timeout": (0, None), "workers_lifetime": (1, None),
    "workers_max_rss": (1, None), "h2_max_concurrent_streams": (1, 2**32 - 1),
}  # fmt: skip
_CHOICES = {
    "loop": ("auto", "asyncio", "uvloop"),
    "lifespan": ("auto", "on", "off"),
    "interface": ("auto", "asgi3", "wsgi"),
    "http": ("auto", "1", "2"),
}
# What the server offers in the TLS handshake (ALPN) for each http setting.
_ALPN = {"auto": ["h2", "http/1.1"], "1": ["http/1.1"], "2": ["h2"]}
# What only --reload reads: set otherwise, it would silently do nothing.
_RELOAD_ONLY = ("reload_dirs", "reload_includes", "reload_excludes")
# What replaces workers by their age or size, as SIGHUP does.
_RECYCLING = ("workers_lifetime", "workers_max_rss")


@dataclass(frozen=True, slots=True)
class Config:
    # The application every loop serves, or with factory what makes each loop
    # its own; or its name, module:attribute, imported where it is served.
    app: ASGIApp | AppFactory | str
    host: str = "127.0.0.1"
    port: int = 8000
    # Loop threads, each with its own event loop and listening socket.
    threads: int = field(default_factory=lambda: os.cpu_count() or 1)
    # Worker processes, each with `threads` loops, under a supervising process;
    # 1: this process serves, without a supervisor, unless a worker is to be
    # recycled (below). Workers import the application anew, from app_name
    # (module:attribute).
    workers: int = 1
    app_name: str | None = None
    # Recycling: a worker is replaced, as on SIGHUP, once it has been ready
    # workers_lifetime seconds, or once its resident memory is above
    # workers_max_rss MiB; None: never. Either runs the workers under a
    # supervisor, even one worker. The lifetime's minimum, 1 s, only refuses
    # what cannot be meant: a replacement waits for the one before to finish,
    # so no lifetime can pile processes up, and a short one lets a test (or an
    # operator trying the option) see workers recycled within seconds.
    workers_lifetime: float | None = None
    workers_max_rss: int | None = None
    # A supervising process runs the server in a child process, started anew
    # after a change to a file under reload_dirs (none: the current directory)
    # whose name matches a glob of reload_includes and no part of whose path
    # below that directory matches one of reload_excludes.
    reload: bool = False
    reload_dirs: tuple[str, ...] = ()
    reload_includes: tuple[str, ...] = ("*.py",)
    reload_excludes: tuple[str, ...] = (".*", ".git", ".venv", "__pycache__", "*.py[cod]", "*~")
    # Seconds without a further change before a reload, so that a file written
    # in several steps restarts the server once.
    reload_delay: float = 0.05
    # Where the application is imported from (put first on the import path;
    # "": as it is), and a file of KEY=VALUE lines set in the environment
    # before it is imported, where not set already.
    app_dir: str = ""
    env_file: str | None = None
    # Worker threads of the executor installed as every loop's default executor.
    executor_threads: int = field(default_factory=default_workers)
    # The event loop of every loop thread: uvloop's with "uvloop", and with
    # "auto" where uvloop is installed; else asyncio's.
    loop: Literal["auto", "asyncio", "uvloop"] = "auto"
    root_path: str = ""
    lifespan: Literal["auto", "on", "off"] = "auto"
    # The application's interface: ASGI 3, or WSGI, whose calls run on the
    # executor's threads; "auto": WSGI for a plain callable of two arguments.
    interface: Literal["auto", "asgi3", "wsgi"] = "auto"
    # HTTP/1.1 or HTTP/2. "auto": over TLS, as the client's ALPN offer chooses;
    # in cleartext, HTTP/2 for a connection that opens with its preface (prior
    # knowledge), else HTTP/1.1. "1" or "2": that version alone.
    http: Literal["auto", "1", "2"] = "auto"
    # Streams one HTTP/2 connection may have open at once (its SETTINGS).
    h2_max_concurrent_streams: int = 100
    ssl_certfile: str | None = None
    ssl_keyfile: str | None = None
    access_log: bool = True
    # The access line in gunicorn's notation ("%(h)s %(t)s \"%(r)s\" %(s)s"), or
    # as one JSON object; either is written as it is, without the log's own
    # time and level. None and False: the server's own line.
    access_log_format: str | None = None
    access_log_json: bool = False
    log_level: str = "info"
    # The level name of log lines and the status of access lines in colour;
    # None: when stderr is a terminal.
    use_colors: bool | None = None
    # A logging configuration file (JSON or YAML for dictConfig, else ini), applied after the defaults.
    log_config: str | None = None
    backlog: int = 2048
    # Instead of host and port: a Unix socket at this path (its file's mode
    # uds_perms, else what the umask leaves), or a listening socket inherited
    # as descriptor fd (from systemd or a supervisor).
    uds: str | None = None
    uds_perms: int | None = None
    fd: int | None = None
    # Limits of every connection's engine, given to each loop's ConnectionDriver.
    max_body_size: int = 10 * 1024 * 1024
    max_header_size: int = 64 * 1024
    max_keepalive_requests: int = 1000
    # After this many answered requests a worker process is replaced, or a
    # server without workers shuts down gracefully; None: no limit.
    limit_max_requests: int | None = None
    # Each process draws up to this many requests more for its limit, so that
    # workers started together are not all replaced together.
    limit_max_requests_jitter: int = 0
    # Serve Prometheus metrics on this port (same host), on a listener of their own.
    metrics_port: int | None = None
    # Requests served at once by all loops; above it, 503 without the application.
    limit_concurrency: int | None = None
    # What every response carries besides the application's headers.
    server_header: bool = True
    date_header: bool = True
    headers: tuple[tuple[str, str], ...] = ()
    # Directories whose files are served natively, without the application:
    # the i-th under the i-th route, or under /static past the routes given.
    static_path_mount: tuple[str, ...] = ()
    static_path_route: tuple[str, ...] = ()
    # Proxy headers (X-Forwarded-For, -Proto, -Host and Forwarded) set the
    # scope's client, scheme and server, when the connection's peer is in
    # forwarded_allow_ips: a comma-separated list of IP addresses, CIDR ranges,
    # "*" (any peer) and "unix:" (a Unix socket's peer, which has no address).
    proxy_headers: bool = True
    forwarded_allow_ips: str = "127.0.0.1,::1"
    # A peer in forwarded_allow_ips opens each connection with a PROXY protocol
    # header (v1 or v2, as HAProxy and AWS Network Load Balancers send it),
    # which names the client; a trusted peer whose connection does not is
    # closed. Other peers are plain clients.
    proxy_protocol: bool = False
    # Seconds. An idle keep-alive connection is closed after keep_alive_timeout;
    # a request head must be complete within head_timeout of its first byte (else
    # 408); a request body that has been asked for ends once no byte of it has
    # arrived for body_timeout (the app hears a disconnect, the client gets 408
    # if nothing was answered yet).
    keep_alive_timeout: float = 5.0
    head_timeout: float = 10.0
    body_timeout: float = 10.0
    # Bytes a second a request body must average once it has been due for 5
    # seconds (else as body_timeout); 0: no minimum.
    min_body_rate: int = 240
    # After an error response: how long the input is drained before closing.
    linger_timeout: float = 2.0
    # On SIGINT/SIGTERM: how long in-flight requests may take to finish.
    shutdown_timeout: float = 10.0
    # Reading pauses while a request is served once this many bytes wait unread.
    read_buffer_limit: int = 64 * 1024
    # app is a factory, called on each loop thread inside its loop, so that each
    # loop has its own application (its app.state, the asyncio objects it keeps).
    factory: bool = False
    # WebSocket sessions: the largest message (after decompression; else close
    # 1009); permessage-deflate when the client offers it; a ping every
    # ws_ping_interval seconds, and close 1011 when its pong has not come within
    # ws_ping_timeout (None or 0: never); received messages held for the app
    # before reading pauses.
    ws_max_size: int = 16 * 1024 * 1024
    ws_per_message_deflate: bool = True
    ws_ping_interval: float | None = 20.0
    ws_ping_timeout: float | None = 20.0
    ws_max_queue: int = 32
    # TLS beyond the certificate: the key's password, client certificates
    # (CA bundle and ssl.VerifyMode: 0 none, 1 optional, 2 required), ciphers.
    ssl_keyfile_password: str | None = None
    ssl_ca_certs: str | None = None
    ssl_cert_reqs: int = ssl.CERT_NONE
    ssl_ciphers: str | None = None
    # The ssl module's protocol number for the context (None: PROTOCOL_TLS_SERVER).
    ssl_version: int | None = None

    def __post_init__(self) -> None:
        """Refuses settings that cannot be served, in the words the command line uses."""
        whole = {f.name for f in fields(self) if f.type in ("int", "int | None")}
        for name, (low, high) in _BOUNDS.items():
            value = getattr(self, name)
            if value is None:
                continue
            kinds = int if name in whole else (int, float)
            if isinstance(value, bool) or not isinstance(value, kinds) or not low <= value <= (high or value):
                span = f"from {low} to {high}" if high is not None else f"at least {low}"
                kind = "a whole number" if name in whole else "a number"
                raise UsageError(f"{name} must be {kind} {span}, not {value!r}")
        for name, choices in _CHOICES.items():
            if (value := getattr(self, name)) not in choices:
                # http=2 would otherwise read as one of the choices listed.
                kind = "" if isinstance(value, str) else " (a str)"
                raise UsageError(f"{name} must be one of {', '.join(choices)}{kind}, not {value!r}")
        for header in self.headers:
            name, value = header
            if not name or ":" in name or any(c in name + value for c in "\r\n"):
                raise UsageError(f"headers: {header!r} is no NAME:VALUE header")
        self._check_static_mounts()
        if self.ssl_keyfile and not self.ssl_certfile:
            raise UsageError("--ssl-keyfile needs --ssl-certfile")
        if self.metrics_port is not None and (self.workers > 1 or self.reload):
            # With reload the new process would bind the port while the old one holds it.
            raise UsageError(
                "--metrics-port counts one process's loops; it cannot be combined with --workers or --reload"
            )
        if not self.reload:
            defaults = {f.name: f.default for f in fields(self)}
            for name in _RELOAD_ONLY:
                if getattr(self, name) != defaults[name]:
                    raise UsageError(f"--{name[:-1].replace('_', '-')} needs --reload")
        if self.reload and self.workers > 1:
            raise UsageError("--reload restarts one server process; it cannot be combined with --workers")
        recycling = next((f"--{n.replace('_', '-')}" for n in _RECYCLING if getattr(self, n) is not None), None)
        if recycling and self.reload:
            raise UsageError(
                f"{recycling} cannot be combined with --reload, whose server process is replaced on changes"
            )
        if recycling and self.metrics_port is not None:
            raise UsageError(
                f"{recycling} serves from worker processes; it cannot be combined with --metrics-port, "
                "which counts one process's loops"
            )
        if self.uds is not None and self.fd is not None:
            raise UsageError("--uds and --fd name two different sockets; give one")
        if self.uds_perms is not None and self.uds is None:
            raise UsageError("--uds-perms needs --uds")
        if self.access_log_format is not None:
            if not isinstance(self.access_log_format, str):
                raise UsageError(f"access_log_format must be a str, not {self.access_log_format!r}")
            if self.access_log_json:
                raise UsageError(
                    "--access-log-json writes fields of its own; it cannot be combined with --access-log-format"
                )
            try:
                AccessLogFormat(self.access_log_format)
            except ValueError as error:
                raise UsageError(str(error)) from None

    def _check_static_mounts(self) -> None:
        for name in ("static_path_mount", "static_path_route"):
            if isinstance(getattr(self, name), str):
                raise UsageError(f"{name} must be a tuple of str, not {getattr(self, name)!r}")
        if len(self.static_path_route) > len(self.static_path_mount):
            raise UsageError(
                f"more --static-path-route ({len(self.static_path_route)}) than --static-path-mount "
                f"({len(self.static_path_mount)}): each route is the mount's given in the same place"
            )
        for route in self.static_path_route:
            if not isinstance(route, str) or not route.startswith("/"):
                raise UsageError(f"--static-path-route {route!r} must start with /")
        for directory in self.static_path_mount:
            if not isinstance(directory, str) or not os.path.isdir(directory):
                raise UsageError(f"--static-path-mount {directory!r} is not a directory")
        routes = [route.rstrip("/") for route, _ in self.static_mounts]
        if (twice := next((route for route in routes if routes.count(route) > 1), None)) is not None:
            raise UsageError(f"--static-path-route {twice or '/'!r} is given to two mounts")

    @property
    def static_mounts(self) -> tuple[tuple[str, str], ...]:
        """(route, directory) for each --static-path-mount, the route /static where none was given for it."""
        routes = (*self.static_path_route, *("/static",) * (len(self.static_path_mount) - len(self.static_path_route)))
        return tuple(zip(routes, self.static_path_mount, strict=True))

    @property
    def recycles_workers(self) -> bool:
        return any(getattr(self, name) is not None for name in _RECYCLING)

    @property
    def supervised(self) -> bool:
        """Served by worker processes under a supervisor (with reload, one)."""
        return self.workers > 1 or self.reload or self.recycles_workers

    @property
    def native_access_log(self) -> bool:
        """Access lines are rendered natively, in access_log_format or as JSON."""
        return self.access_log and (self.access_log_format is not None or self.access_log_json)

    def access_line_format(self) -> AccessLogFormat | None:
        """What every loop's driver renders access lines in; None: the server's own line."""
        if not self.native_access_log:
            return None
        return AccessLogFormat(self.access_log_format, json=self.access_log_json)

    @property
    def is_tls(self) -> bool:
        return self.ssl_certfile is not None

    def ssl_context(self) -> ssl.SSLContext | None:
        if self.ssl_certfile is None:
            return None
        if self.ssl_version is None:
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        else:
            context = ssl.SSLContext(self.ssl_version)
        context.load_cert_chain(self.ssl_certfile, self.ssl_keyfile, self.ssl_keyfile_password)
        if self.ssl_ca_certs is not None:
            context.load_verify_locations(self.ssl_ca_certs)
        context.verify_mode = ssl.VerifyMode(self.ssl_cert_reqs)
        if self.ssl_ciphers is not None:
            context.set_ciphers(self.ssl_ciphers)
        context.set_alpn_protocols(_ALPN[self.http])
        return context
