"""Command line: ``python -m tessaryne module:app [options]`` serves an ASGI application."""

from __future__ import annotations

import argparse
import dataclasses
import fnmatch
import importlib.metadata
import os
import platform
import re
import sys
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, cast

from .server.config import Config
from .server.loading import UsageError, configure_logging
from .server.logs import apply_log_config
from .server.launch import run
from .server.runner import StartupError

__all__ = ["main"]

_LOG_LEVELS = ("critical", "error", "warning", "info", "debug")


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _bounded_int(low: int, high: int | None = None) -> Callable[[str], int]:
    def convert(text: str) -> int:
        value = int(text)
        if value < low or (high is not None and value > high):
            raise ValueError(text)
        return value

    convert.__name__ = "integer"
    return convert


def _header(text: str) -> tuple[str, str]:
    name, colon, value = text.partition(":")
    if not colon or not name.strip() or any(c in text for c in "\r\n"):
        raise ValueError(text)
    return name.strip(), value.strip()


_header.__name__ = "NAME:VALUE header"


def _non_negative_float(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise ValueError(text)
    return value


_non_negative_float.__name__ = "number"


def _octal_mode(text: str) -> int:
    value = int(text, 8)
    if not 0 <= value <= 0o777:
        raise ValueError(text)
    return value


_octal_mode.__name__ = "octal mode"

_ENV_LINE = re.compile(r"(?:export\s+)?([A-Za-z_][A-Za-z0-9_]*)\s*=\s*(.*)")
_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", '"': '"', "\\": "\\"}


def read_env_file(path: str) -> dict[str, str]:
    """KEY=VALUE lines (optionally led by ``export``), blank lines and ``#``
    comments. A value in single quotes is taken as it is; one in double
    quotes knows the escapes \\n \\t \\r \\" \\\\; an unquoted one ends at a
    `` #`` comment and loses its surrounding blanks. No expansion of $NAME."""
    try:
        with open(path, encoding="utf-8") as file:
            lines = file.read().splitlines()
    except (OSError, UnicodeDecodeError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        raise UsageError(f"cannot read --env-file {path!r}: {reason}") from error
    values: dict[str, str] = {}
    for number, line in enumerate(lines, 1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        match = _ENV_LINE.fullmatch(text)
        if match is None:
            raise UsageError(f"--env-file {path!r}, line {number}: expected KEY=VALUE, not {text!r}")
        key, value = match[1], match[2]
        if value[:1] in ("'", '"'):
            quote = value[0]
            end = value.find(quote, 1) if quote == "'" else _closing_quote(value)
            rest = value[end + 1 :].strip() if end > 0 else ""
            if end < 0 or (rest and not rest.startswith("#")):
                raise UsageError(f"--env-file {path!r}, line {number}: unterminated or misplaced {quote} in {key}")
            value = value[1:end]
            if quote == '"':
                value = re.sub(r"\\(.)", lambda m: _ESCAPES.get(m[1], m[0]), value)
        else:
            value = re.split(r"\s#", value, maxsplit=1)[0].strip()
        values[key] = value
    return values


def _closing_quote(value: str) -> int:
    """Where the double-quoted value that ``value`` begins ends, skipping escaped characters; -1 if it does not."""
    index = 1
    while index < len(value):
        if value[index] == "\\":
            index += 2
        elif value[index] == '"':
            return index
        else:
            index += 1
    return -1


def _reload_globs(includes: list[str], excludes: list[str]) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The defaults with the globs given added; a default exclusion that a
    glob given to include matches is dropped, so that --reload-include .env
    watches .env, while .git and .venv stay excluded by their own globs."""
    kept = [glob for glob in _default("reload_excludes") if not any(fnmatch.fnmatchcase(i, glob) for i in includes)]
    return (*_default("reload_includes"), *includes), (*kept, *excludes)


def _version() -> str:
    try:
        version = importlib.metadata.version("tessaryne")
    except importlib.metadata.PackageNotFoundError:  # imported from a source tree, not installed
        version = "(not installed)"
    build = "free-threaded" if not sys._is_gil_enabled() else "with the GIL"
    return (
        f"tessaryne {version} on {platform.python_implementation()} "
        f"{platform.python_version()} ({build}), {platform.system()}"
    )


def _default(setting: str) -> Any:
    """The default of a Config field, so that the command line says each default once."""
    field = next(f for f in dataclasses.fields(Config) if f.name == setting)
    if field.default is dataclasses.MISSING:
        return cast(Callable[[], Any], field.default_factory)()
    return field.default


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m tessaryne",
        description="Serve an ASGI application on one event loop per thread, in one free-threaded process.",
    )
    parser.add_argument("--version", action="version", version=_version(), help="print the version and exit")
    parser.add_argument("app", help="the application, as module:attribute (for example tessaryne.demo:app)")
    parser.add_argument(
        "--factory",
        action="store_true",
        help="the application is a factory, called once on each loop thread so that every loop has "
        "its own application, app.state and lifespan (default: one application shared by every loop)",
    )
    parser.add_argument("--host", default=_default("host"), help="address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=_bounded_int(0, 65535), default=_default("port"), help="port to listen on, 0 for any free port (default: %(default)s)")
    parser.add_argument("--uds", metavar="PATH", help="listen on a Unix socket at this path instead of --host and --port; "
                        "the file is replaced if a previous run left it, and removed on exit (default: none)")
    parser.add_argument("--uds-perms", metavar="MODE", type=_octal_mode,
                        help="permissions of the --uds socket file, in octal such as 660 (default: what the umask leaves)")
    parser.add_argument("--fd", type=_bounded_int(0), help="serve the listening socket inherited as this file "
                        "descriptor (from systemd or a supervisor) instead of --host and --port (default: none)")
    parser.add_argument("--backlog", type=_bounded_int(1), default=_default("backlog"),
                        help="connections the kernel holds for each listening socket until accepted (default: %(default)s)")
    parser.add_argument("--app-dir", default="", help="directory to import the application from, put first "
                        "on the import path (default: the current directory)")
    parser.add_argument("--env-file", metavar="PATH", help="set environment variables from this file of KEY=VALUE "
                        "lines before importing the application; variables already set win (default: none)")
    parser.add_argument(
        "--threads", type=_bounded_int(1), default=_default("threads"), help="event-loop threads, each accepting on its own socket (default: the number of CPUs, %(default)s)"
    )
    parser.add_argument(
        "--workers",
        type=_bounded_int(1),
        default=_default("workers"),
        help="worker processes, each with --threads loops, all on the one port, under a supervising process "
        "that restarts a worker that dies; SIGHUP replaces them one by one (default: %(default)s, "
        "one process without a supervisor)",
    )
    parser.add_argument(
        "--loop",
        choices=("auto", "asyncio", "uvloop"),
        default=_default("loop"),
        help="the event loop of every loop thread: uvloop's, or asyncio's; auto takes uvloop where it is "
        "installed (default: %(default)s)",
    )
    parser.add_argument(
        "--executor-threads",
        type=_bounded_int(1),
        default=_default("executor_threads"),
        help="worker threads of the executor every loop uses for asyncio.to_thread and "
        "run_in_executor (default: the number of CPUs plus 4, at most 32, as for ThreadPoolExecutor: %(default)s)",
    )
    parser.add_argument(
        "--reload",
        action="store_true",
        help="run the server in a child process, started anew when a watched file changes; "
        "an application that fails to import is tried again at the next change (default: off)",
    )
    parser.add_argument(
        "--reload-dir",
        dest="reload_dirs",
        metavar="PATH",
        action="append",
        help="a directory watched, with its subdirectories, for --reload; repeat for more "
        "(default: the current directory)",
    )
    parser.add_argument(
        "--reload-include",
        dest="reload_includes",
        metavar="GLOB",
        action="append",
        help="a glob of file names (or of paths, with a /) whose changes --reload follows; repeat for "
        "more, each added to the default (default: %s)" % " ".join(_default("reload_includes")),
    )
    parser.add_argument(
        "--reload-exclude",
        dest="reload_excludes",
        metavar="GLOB",
        action="append",
        help="a glob of file or directory names (or of paths, with a /) whose changes --reload ignores; "
        "repeat for more, each added to the default, less the default globs that a --reload-include matches "
        "(default: %s)" % " ".join(_default("reload_excludes")),
    )
    parser.add_argument("--root-path", default=_default("root_path"), help="path prefix under which the application is mounted (default: none)")
    parser.add_argument(
        "--lifespan",
        choices=("auto", "on", "off"),
        default=_default("lifespan"),
        help="lifespan events, run on every loop: auto serves applications without them too, "
        "on requires them, off never sends them (default: %(default)s)",
    )
    parser.add_argument("--ssl-certfile", help="serve HTTPS with this PEM certificate chain (default: plain HTTP)")
    parser.add_argument("--ssl-keyfile", help="PEM private key of the certificate (default: read from the certificate file)")
    parser.add_argument("--ssl-keyfile-password", help="password of an encrypted private key (default: none)")
    parser.add_argument("--ssl-ca-certs", help="CA bundle for verifying client certificates (default: none)")
    parser.add_argument(
        "--ssl-cert-reqs",
        type=_bounded_int(0, 2),
        default=_default("ssl_cert_reqs"),
        help="client certificates: 0 not asked, 1 optional, 2 required (default: %(default)s)",
    )
    parser.add_argument("--ssl-ciphers", help="OpenSSL cipher list (default: Python's ssl defaults)")
    parser.add_argument(
        "--no-access-log", dest="access_log", action="store_false", help="do not log one line per answered request (default: logged)"
    )
    parser.add_argument(
        "--access-log", dest="access_log", action="store_true", help="log one line per answered request (default: logged)"
    )
    parser.add_argument(
        "--log-config",
        help="a logging configuration file, JSON or YAML for logging.config.dictConfig, else ini for fileConfig, "
        "applied after the server's own (default: none)",
    )
    parser.add_argument(
        "--server-header",
        action=argparse.BooleanOptionalAction,
        default=_default("server_header"),
        help="send a server header on every response unless the application sends one (default: on)",
    )
    parser.add_argument(
        "--date-header",
        action=argparse.BooleanOptionalAction,
        default=_default("date_header"),
        help="send a date header on every response unless the application sends one (default: on)",
    )
    parser.add_argument(
        "--header",
        dest="headers",
        action="append",
        type=_header,
        default=[],
        metavar="NAME:VALUE",
        help="a header added to every response; repeat for more (default: none)",
    )
    parser.add_argument(
        "--proxy-headers",
        action=argparse.BooleanOptionalAction,
        default=_default("proxy_headers"),
        help="let X-Forwarded-For, X-Forwarded-Proto, X-Forwarded-Host and Forwarded from a trusted peer "
        "(--forwarded-allow-ips) set the client address, scheme and host the application sees (default: on)",
    )
    parser.add_argument(
        "--forwarded-allow-ips",
        metavar="LIST",
        default=os.environ.get("FORWARDED_ALLOW_IPS", _default("forwarded_allow_ips")),
        help="the peers trusted with proxy headers: comma-separated IP addresses and CIDR ranges, '*' for any "
        "peer, 'unix:' for a Unix-socket peer (default: $FORWARDED_ALLOW_IPS if set, else "
        f"{_default('forwarded_allow_ips')})",
    )
    parser.add_argument(
        "--limit-concurrency",
        type=_bounded_int(1),
        default=_default("limit_concurrency"),
        help="requests served at once by all loops; above it, 503 without calling the application (default: no limit)",
    )
    parser.add_argument(
        "--use-colors",
        action=argparse.BooleanOptionalAction,
        default=_default("use_colors"),
        help="the level name of log lines and the status of access lines in colour; --log-config's "
        "formatters write as they are configured (default: when stderr is a terminal)",
    )
    parser.add_argument("--log-level", choices=_LOG_LEVELS, default=_default("log_level"), help="level of the server's log, written to stderr (default: %(default)s)")
    parser.add_argument(
        "--timeout-keep-alive",
        "--keep-alive-timeout",
        dest="keep_alive_timeout",
        metavar="SECONDS",
        type=_non_negative_float,
        default=_default("keep_alive_timeout"),
        help="seconds an idle keep-alive connection stays open (default: %(default)s)",
    )
    parser.add_argument(
        "--timeout-request-head",
        dest="head_timeout",
        type=_non_negative_float,
        default=_default("head_timeout"),
        help="seconds a request head may take from its first byte; then 408 and close (default: %(default)s)",
    )
    parser.add_argument(
        "--timeout-request-body",
        dest="body_timeout",
        type=_non_negative_float,
        default=_default("body_timeout"),
        help="seconds a request body may pause between bytes; then the application hears a disconnect "
        "and the client gets 408 unless an answer began (default: %(default)s)",
    )
    parser.add_argument(
        "--limit-request-body",
        dest="max_body_size",
        type=_bounded_int(0),
        default=_default("max_body_size"),
        help="largest request body in bytes, else 413; a policy, not a protection: a body is streamed "
        "to the application, so its size costs no memory (default: %(default)s)",
    )
    parser.add_argument(
        "--limit-request-head",
        dest="max_header_size",
        type=_bounded_int(1),
        default=_default("max_header_size"),
        help="largest request head in bytes, else 431 (default: %(default)s)",
    )
    parser.add_argument(
        "--max-requests-per-connection",
        dest="max_keepalive_requests",
        type=_bounded_int(1),
        default=_default("max_keepalive_requests"),
        help="requests served on one keep-alive connection; the last answer says connection: close "
        "(default: %(default)s)",
    )
    parser.add_argument(
        "--limit-max-requests",
        type=_bounded_int(1),
        default=_default("limit_max_requests"),
        help="answered requests after which a worker process is replaced, or the server without workers "
        "shuts down gracefully (default: no limit)",
    )
    parser.add_argument(
        "--metrics-port",
        type=_bounded_int(0, 65535),
        default=_default("metrics_port"),
        help="serve Prometheus metrics at /metrics on this port (default: off)",
    )
    parser.add_argument(
        "--ws-max-size",
        type=_bounded_int(1),
        default=_default("ws_max_size"),
        help="largest WebSocket message in bytes, after decompression; a larger one closes the "
        "session with 1009 (default: %(default)s)",
    )
    parser.add_argument(
        "--ws-per-message-deflate",
        action=argparse.BooleanOptionalAction,
        default=_default("ws_per_message_deflate"),
        help="compress WebSocket messages (permessage-deflate) when the client offers it (default: on)",
    )
    parser.add_argument(
        "--ws-ping-interval",
        metavar="SECONDS",
        type=_non_negative_float,
        default=_default("ws_ping_interval"),
        help="send a WebSocket ping after this many quiet seconds, 0 for never (default: %(default)s)",
    )
    parser.add_argument(
        "--ws-ping-timeout",
        metavar="SECONDS",
        type=_non_negative_float,
        default=_default("ws_ping_timeout"),
        help="close a WebSocket session with 1011 when a ping has no answer within this many "
        "seconds, 0 for never (default: %(default)s)",
    )
    parser.add_argument(
        "--ws-max-queue",
        type=_bounded_int(1),
        default=_default("ws_max_queue"),
        help="received WebSocket messages held for the application before reading from the "
        "client pauses (default: %(default)s)",
    )
    parser.add_argument(
        "--timeout-graceful-shutdown",
        "--shutdown-timeout",
        dest="shutdown_timeout",
        metavar="SECONDS",
        type=_non_negative_float,
        default=_default("shutdown_timeout"),
        help="seconds in-flight requests may take to finish after SIGINT or SIGTERM; "
        "a second signal stops at once (default: %(default)s)",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    try:
        options = _parser().parse_args(argv)
        if options.ssl_keyfile and not options.ssl_certfile:
            raise UsageError("--ssl-keyfile needs --ssl-certfile")
        if options.metrics_port is not None and (options.workers > 1 or options.reload):
            # With --reload the new process would bind the port while the old one holds it.
            raise UsageError("--metrics-port counts one process's loops; it cannot be combined with --workers or --reload")
        if options.uds is not None and options.fd is not None:
            raise UsageError("--uds and --fd name two different sockets; give one")
        if options.uds_perms is not None and options.uds is None:
            raise UsageError("--uds-perms needs --uds")
        for name in ("reload_dirs", "reload_includes", "reload_excludes"):
            if getattr(options, name) is not None and not options.reload:
                raise UsageError(f"--{name[:-1].replace('_', '-')} needs --reload")
        includes, excludes = _reload_globs(options.reload_includes or [], options.reload_excludes or [])
        if options.env_file is not None:
            for key, value in read_env_file(options.env_file).items():
                os.environ.setdefault(key, value)
        if options.app_dir:
            # Absolute, so that worker processes, which get this path, find it too.
            sys.path.insert(0, os.path.abspath(options.app_dir))
        config = Config(
            app=options.app,
            host=options.host,
            port=options.port,
            uds=options.uds,
            uds_perms=options.uds_perms,
            fd=options.fd,
            backlog=options.backlog,
            threads=options.threads,
            workers=options.workers,
            app_name=options.app,
            reload=options.reload,
            reload_dirs=tuple(options.reload_dirs or ()),
            reload_includes=includes,
            reload_excludes=excludes,
            limit_max_requests=options.limit_max_requests,
            metrics_port=options.metrics_port,
            executor_threads=options.executor_threads,
            loop=options.loop,
            root_path=options.root_path,
            lifespan=options.lifespan,
            ssl_certfile=options.ssl_certfile,
            ssl_keyfile=options.ssl_keyfile,
            ssl_keyfile_password=options.ssl_keyfile_password,
            ssl_ca_certs=options.ssl_ca_certs,
            ssl_cert_reqs=options.ssl_cert_reqs,
            ssl_ciphers=options.ssl_ciphers,
            access_log=options.access_log,
            log_config=options.log_config,
            use_colors=options.use_colors,
            server_header=options.server_header,
            date_header=options.date_header,
            headers=tuple(options.headers),
            proxy_headers=options.proxy_headers,
            forwarded_allow_ips=options.forwarded_allow_ips,
            limit_concurrency=options.limit_concurrency,
            log_level=options.log_level,
            keep_alive_timeout=options.keep_alive_timeout,
            head_timeout=options.head_timeout,
            body_timeout=options.body_timeout,
            max_body_size=options.max_body_size,
            max_header_size=options.max_header_size,
            max_keepalive_requests=options.max_keepalive_requests,
            shutdown_timeout=options.shutdown_timeout,
            ws_max_size=options.ws_max_size,
            ws_per_message_deflate=options.ws_per_message_deflate,
            ws_ping_interval=options.ws_ping_interval,
            ws_ping_timeout=options.ws_ping_timeout,
            ws_max_queue=options.ws_max_queue,
            factory=options.factory,
        )
        configure_logging(config)
        run(config)
    except (UsageError, StartupError) as error:
        print(f"tessaryne: error: {_one_line(str(error))}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
