"""Command line: ``python -m tessaryne module:app [options]`` serves an ASGI application."""

from __future__ import annotations

import argparse
import dataclasses
import fnmatch
import importlib.metadata
import os
import platform
import sys
from collections.abc import Callable, Sequence
from typing import Any, NoReturn, cast

from .server.config import Config
from .server.launch import run
from .server.loading import UsageError, configure_logging
from .server.runner import StartupError

__all__ = ["configuration", "main"]

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


def _number(text: str) -> float:
    return float(text)


def _integer(text: str) -> int:
    return int(text)


# Named for argparse's "invalid ... value" line; Config judges the values.
_number.__name__ = "number"
_integer.__name__ = "integer"


def _octal_mode(text: str) -> int:
    value = int(text, 8)
    if not 0 <= value <= 0o777:
        raise ValueError(text)
    return value


_octal_mode.__name__ = "octal mode"


def _web_concurrency() -> int:
    text = os.environ.get("WEB_CONCURRENCY", "0")
    try:
        return int(text)
    except ValueError:
        raise UsageError(f"$WEB_CONCURRENCY must be a number of worker processes, not {text!r}") from None


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


def _boolean(text: str) -> bool:
    value = {"true": True, "1": True, "yes": True, "on": True, "false": False, "0": False, "no": False, "off": False}
    if text.lower() not in value:
        raise ValueError(text)
    return value[text.lower()]


_boolean.__name__ = "boolean (true or false)"


def _listening_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("where to listen")
    group.add_argument(
        "--host", metavar="HOST", default=_default("host"), help="address to listen on (default: %(default)s)"
    )
    group.add_argument(
        "--port",
        metavar="PORT",
        type=_bounded_int(0, 65535),
        default=_default("port"),
        help="port to listen on, 0 for any free port (default: %(default)s)",
    )
    group.add_argument(
        "--uds",
        metavar="PATH",
        help="listen on a Unix socket at this path instead of --host and "
        "--port; the file is replaced if a previous run left it, and removed on exit (default: none)",
    )
    group.add_argument(
        "--uds-perms",
        metavar="MODE",
        type=_octal_mode,
        help="permissions of the --uds socket file, in octal such as 660 (default: what the umask leaves)",
    )
    group.add_argument(
        "--fd",
        type=_bounded_int(0),
        help="serve the listening socket inherited as this file "
        "descriptor (from systemd or a supervisor) instead of --host and --port (default: none)",
    )
    group.add_argument(
        "--backlog",
        metavar="N",
        type=_bounded_int(1),
        default=_default("backlog"),
        help="connections the kernel holds for each listening socket until accepted (default: %(default)s)",
    )


def _application_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("the application")
    group.add_argument(
        "--factory",
        action="store_true",
        help="the application is a factory, called once on each loop thread so that every loop has "
        "its own application, app.state and lifespan (default: one application shared by every loop)",
    )
    group.add_argument(
        "--app-dir",
        metavar="PATH",
        default="",
        help="directory to import the application from, put first on the import path (default: the current directory)",
    )
    group.add_argument(
        "--env-file",
        metavar="PATH",
        help="set environment variables from this file of KEY=VALUE "
        "lines before importing the application; variables already set win (default: none)",
    )
    group.add_argument(
        "--root-path",
        metavar="PATH",
        default=_default("root_path"),
        help="path prefix under which the application is mounted (default: none)",
    )
    group.add_argument(
        "--lifespan",
        choices=("auto", "on", "off"),
        default=_default("lifespan"),
        help="lifespan events, run on every loop: auto serves applications without them too, "
        "on requires them, off never sends them (default: %(default)s)",
    )
    group.add_argument(
        "--reset-contextvars",
        action="store_true",
        help="accepted for uvicorn's command lines: every request already starts from its own copy "
        "of the loop's context, which the lifespan does not change (default: so always)",
    )
    group.add_argument(
        "--interface",
        choices=("auto", "asgi3", "asgi2", "wsgi"),
        default="auto",
        help="the application's interface: ASGI 3, or WSGI, its calls on the executor's threads; "
        "auto: WSGI for a plain callable of two arguments (default: %(default)s)",
    )


def _process_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("processes, threads and the event loop")
    group.add_argument(
        "--threads",
        metavar="N",
        type=_bounded_int(1),
        default=_default("threads"),
        help="event-loop threads, each accepting on its own socket (default: the number of CPUs, %(default)s)",
    )
    group.add_argument(
        "--workers",
        metavar="N",
        type=_bounded_int(1),
        default=None,
        help="worker processes, each with --threads loops, all on the one port, under a supervising "
        "process that restarts a worker that dies; SIGHUP replaces them one by one (default: "
        "$WEB_CONCURRENCY if set and not --reload, else 1: one process without a supervisor, "
        "unless workers are recycled)",
    )
    group.add_argument(
        "--workers-lifetime",
        metavar="SECONDS",
        type=_number,
        default=_default("workers_lifetime"),
        help="replace a worker, as SIGHUP does, once it has served this many seconds, at least 1; "
        "one at a time, under a supervisor even with one worker (default: never)",
    )
    group.add_argument(
        "--workers-max-rss",
        metavar="MIB",
        type=_integer,
        default=_default("workers_max_rss"),
        help="replace a worker, as SIGHUP does, once its resident memory is above this many MiB, "
        "checked every few seconds; under a supervisor even with one worker (default: no limit)",
    )
    group.add_argument(
        "--loop",
        choices=("auto", "asyncio", "uvloop"),
        default=_default("loop"),
        help="the event loop of every loop thread: uvloop's, or asyncio's; auto takes uvloop where it is "
        "installed (default: %(default)s)",
    )
    group.add_argument(
        "--executor-threads",
        metavar="N",
        type=_bounded_int(1),
        default=_default("executor_threads"),
        help="worker threads of the executor every loop uses for asyncio.to_thread and run_in_executor "
        "(default: the number of CPUs plus 4, at most 32, as for ThreadPoolExecutor: %(default)s)",
    )
    group.add_argument(
        "--ws",
        choices=("auto", "websockets", "websockets-sansio", "wsproto"),
        default="auto",
        help="accepted for uvicorn's command lines: the native engine serves WebSocket whichever is "
        "named (default: %(default)s)",
    )


def _http_version(text: str) -> str:
    # uvicorn's names of its HTTP/1.1 parsers ask for HTTP/1.1; Config judges the rest.
    return "1" if text in ("h11", "httptools") else text


def _protocol_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("HTTP versions")
    group.add_argument(
        "--http",
        metavar="{auto,1,2}",
        type=_http_version,
        default=_default("http"),
        help="HTTP/1.1 (1), HTTP/2 (2) or either (auto): over TLS as the client's ALPN offer chooses, "
        "in cleartext HTTP/2 for a connection that opens with its preface; uvicorn's h11 and "
        "httptools mean 1 (default: %(default)s)",
    )
    group.add_argument(
        "--h2-max-concurrent-streams",
        metavar="N",
        type=_integer,
        default=_default("h2_max_concurrent_streams"),
        help="streams one HTTP/2 connection may have open at once (default: %(default)s)",
    )


def _limit_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("limits and timeouts")
    group.add_argument(
        "--limit-concurrency",
        metavar="N",
        type=_bounded_int(1),
        default=_default("limit_concurrency"),
        help="requests served at once by all loops; above it, 503 without calling the application (default: no limit)",
    )
    group.add_argument(
        "--limit-max-requests",
        metavar="N",
        type=_bounded_int(1),
        default=_default("limit_max_requests"),
        help="answered requests after which a worker process is replaced, or the server without "
        "workers shuts down gracefully (default: no limit)",
    )
    group.add_argument(
        "--limit-max-requests-jitter",
        metavar="N",
        type=_bounded_int(0),
        default=_default("limit_max_requests_jitter"),
        help="up to this many requests more, drawn for each process, so that workers are not all "
        "replaced at once (default: %(default)s)",
    )
    group.add_argument(
        "--limit-request-body",
        metavar="BYTES",
        dest="max_body_size",
        type=_bounded_int(0),
        default=_default("max_body_size"),
        help="largest request body in bytes, else 413; a policy, not a protection: a body is streamed "
        "to the application, so its size costs no memory (default: %(default)s)",
    )
    group.add_argument(
        "--limit-request-head",
        "--h11-max-incomplete-event-size",
        dest="max_header_size",
        metavar="BYTES",
        type=_bounded_int(1),
        default=_default("max_header_size"),
        help="largest request head in bytes, else 431 (default: %(default)s)",
    )
    group.add_argument(
        "--max-requests-per-connection",
        metavar="N",
        dest="max_keepalive_requests",
        type=_bounded_int(1),
        default=_default("max_keepalive_requests"),
        help="requests served on one HTTP/1.1 keep-alive connection; the last answer says connection: close "
        "(default: %(default)s)",
    )
    group.add_argument(
        "--timeout-keep-alive",
        "--keep-alive-timeout",
        dest="keep_alive_timeout",
        metavar="SECONDS",
        type=_non_negative_float,
        default=_default("keep_alive_timeout"),
        help="seconds an idle keep-alive connection stays open (default: %(default)s)",
    )
    group.add_argument(
        "--timeout-request-head",
        metavar="SECONDS",
        dest="head_timeout",
        type=_non_negative_float,
        default=_default("head_timeout"),
        help="seconds a request head may take from its first byte; then 408 and close (default: %(default)s)",
    )
    group.add_argument(
        "--limit-request-body-rate",
        metavar="BYTES",
        dest="min_body_rate",
        type=_bounded_int(0),
        default=_default("min_body_rate"),
        help="bytes a second a request body must average once it has been due for 5 seconds, "
        "as --timeout-request-body otherwise; 0: no minimum (default: %(default)s)",
    )
    group.add_argument(
        "--timeout-request-body",
        metavar="SECONDS",
        dest="body_timeout",
        type=_non_negative_float,
        default=_default("body_timeout"),
        help="seconds a request body may pause between bytes; then the application hears a disconnect "
        "and the client gets 408 unless an answer began (default: %(default)s)",
    )
    group.add_argument(
        "--timeout-graceful-shutdown",
        "--shutdown-timeout",
        dest="shutdown_timeout",
        metavar="SECONDS",
        type=_non_negative_float,
        default=_default("shutdown_timeout"),
        help="seconds in-flight requests may take to finish after SIGINT or SIGTERM; "
        "a second signal stops at once (default: %(default)s)",
    )


def _response_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("responses and proxies")
    group.add_argument(
        "--server-header",
        action=argparse.BooleanOptionalAction,
        default=_default("server_header"),
        help="send a server header on every response unless the application sends one (default: on)",
    )
    group.add_argument(
        "--date-header",
        action=argparse.BooleanOptionalAction,
        default=_default("date_header"),
        help="send a date header on every response unless the application sends one (default: on)",
    )
    group.add_argument(
        "--header",
        dest="headers",
        action="append",
        type=_header,
        default=[],
        metavar="NAME:VALUE",
        help="a header added to every response; repeat for more (default: none)",
    )
    group.add_argument(
        "--proxy-headers",
        action=argparse.BooleanOptionalAction,
        default=_default("proxy_headers"),
        help="let X-Forwarded-For, X-Forwarded-Proto, X-Forwarded-Host and Forwarded from a trusted "
        "peer (--forwarded-allow-ips) set the client address, scheme and host the application sees "
        "(default: on)",
    )
    group.add_argument(
        "--forwarded-allow-ips",
        metavar="LIST",
        default=os.environ.get("FORWARDED_ALLOW_IPS", _default("forwarded_allow_ips")),
        help="the peers trusted with proxy headers and the PROXY protocol: comma-separated IP addresses "
        "and CIDR ranges, '*' "
        "for any peer, 'unix:' for a Unix-socket peer (default: $FORWARDED_ALLOW_IPS if set, else "
        f"{_default('forwarded_allow_ips')})",
    )
    group.add_argument(
        "--proxy-protocol",
        action=argparse.BooleanOptionalAction,
        default=_default("proxy_protocol"),
        help="a trusted peer (--forwarded-allow-ips) opens every connection with a PROXY protocol "
        "header, v1 or v2, naming the client; one that does not is closed (default: off)",
    )


def _static_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("static files")
    group.add_argument(
        "--static-path-mount",
        metavar="DIR",
        action="append",
        default=[],
        help="serve the files of this directory natively, without the application, under the next "
        "--static-path-route; repeat for more (default: none)",
    )
    group.add_argument(
        "--static-path-route",
        metavar="ROUTE",
        action="append",
        default=[],
        help="the path the --static-path-mount of the same place is served under, one per mount in "
        "order; a mount without one is served under /static (default: /static)",
    )


def _websocket_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("WebSocket")
    group.add_argument(
        "--ws-max-size",
        metavar="BYTES",
        type=_bounded_int(1),
        default=_default("ws_max_size"),
        help="largest WebSocket message in bytes, after decompression; a larger one closes the "
        "session with 1009 (default: %(default)s)",
    )
    group.add_argument(
        "--ws-per-message-deflate",
        nargs="?",
        const=True,
        type=_boolean,
        metavar="BOOL",
        default=_default("ws_per_message_deflate"),
        help="compress WebSocket messages (permessage-deflate) when the client offers it; "
        "--ws-per-message-deflate false or --no-ws-per-message-deflate declines (default: on)",
    )
    group.add_argument(
        "--no-ws-per-message-deflate", dest="ws_per_message_deflate", action="store_false", help=argparse.SUPPRESS
    )
    group.add_argument(
        "--ws-ping-interval",
        metavar="SECONDS",
        type=_non_negative_float,
        default=_default("ws_ping_interval"),
        help="send a WebSocket ping after this many quiet seconds, 0 for never (default: %(default)s)",
    )
    group.add_argument(
        "--ws-ping-timeout",
        metavar="SECONDS",
        type=_non_negative_float,
        default=_default("ws_ping_timeout"),
        help="close a WebSocket session with 1011 when a ping has no answer within this many "
        "seconds, 0 for never (default: %(default)s)",
    )
    group.add_argument(
        "--ws-max-queue",
        metavar="N",
        type=_bounded_int(1),
        default=_default("ws_max_queue"),
        help="received WebSocket messages held for the application before reading from the "
        "client pauses (default: %(default)s)",
    )


def _tls_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("TLS")
    group.add_argument(
        "--ssl-certfile", metavar="FILE", help="serve HTTPS with this PEM certificate chain (default: plain HTTP)"
    )
    group.add_argument(
        "--ssl-keyfile",
        metavar="FILE",
        help="PEM private key of the certificate (default: read from the certificate file)",
    )
    group.add_argument(
        "--ssl-keyfile-password", metavar="PASSWORD", help="password of an encrypted private key (default: none)"
    )
    group.add_argument(
        "--ssl-version",
        metavar="N",
        type=_bounded_int(0),
        default=_default("ssl_version"),
        help="the ssl module's protocol number for the server's context, such as 17 "
        "(PROTOCOL_TLS_SERVER) (default: %(default)s)",
    )
    group.add_argument(
        "--ssl-cert-reqs",
        metavar="N",
        type=_bounded_int(0, 2),
        default=_default("ssl_cert_reqs"),
        help="client certificates: 0 not asked, 1 optional, 2 required (default: %(default)s)",
    )
    group.add_argument(
        "--ssl-ca-certs", metavar="FILE", help="CA bundle for verifying client certificates (default: none)"
    )
    group.add_argument("--ssl-ciphers", metavar="CIPHERS", help="OpenSSL cipher list (default: Python's ssl defaults)")


def _logging_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("logging and metrics")
    group.add_argument(
        "--log-level",
        choices=_LOG_LEVELS,
        default=_default("log_level"),
        help="level of the server's log, written to stderr (default: %(default)s)",
    )
    group.add_argument(
        "--access-log",
        action=argparse.BooleanOptionalAction,
        default=_default("access_log"),
        help="log one line per answered request (default: on)",
    )
    group.add_argument(
        "--access-log-format",
        metavar="FORMAT",
        default=_default("access_log_format"),
        help="the access line in gunicorn's atoms, such as '%%(h)s %%(t)s \"%%(r)s\" %%(s)s %%(b)s "
        "%%(D)s' (the README lists them), written without the log's time and level (default: "
        "the server's own line)",
    )
    group.add_argument(
        "--access-log-json",
        action="store_true",
        default=_default("access_log_json"),
        help="the access line as one JSON object: time, client, method, path, query, protocol, "
        "status, bytes, duration_us, referer, user_agent (default: off)",
    )
    group.add_argument(
        "--use-colors",
        action=argparse.BooleanOptionalAction,
        default=_default("use_colors"),
        help="the level name of log lines and the status of access lines in colour; --log-config's "
        "formatters write as they are configured (default: when stderr is a terminal)",
    )
    group.add_argument(
        "--log-config",
        metavar="FILE",
        help="a logging configuration file, JSON or YAML for logging.config.dictConfig, "
        "else ini for fileConfig, applied after the server's own (default: none)",
    )
    group.add_argument(
        "--metrics-port",
        metavar="PORT",
        type=_bounded_int(0, 65535),
        default=_default("metrics_port"),
        help="serve Prometheus metrics at /metrics on this port (default: off)",
    )


def _development_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("development")
    group.add_argument(
        "--reload",
        action="store_true",
        help="run the server in a child process, started anew when a watched file changes; "
        "an application that fails to import is tried again at the next change (default: off)",
    )
    group.add_argument(
        "--reload-dir",
        dest="reload_dirs",
        metavar="PATH",
        action="append",
        help="a directory watched, with its subdirectories, for --reload; repeat for more "
        "(default: the current directory)",
    )
    group.add_argument(
        "--reload-include",
        dest="reload_includes",
        metavar="GLOB",
        action="append",
        help="a glob of file names (or of paths, with a /) whose changes --reload follows; repeat for "
        f"more, each added to the default (default: {' '.join(_default('reload_includes'))})",
    )
    group.add_argument(
        "--reload-exclude",
        dest="reload_excludes",
        metavar="GLOB",
        action="append",
        help="a glob of file or directory names (or of paths, with a /) whose changes --reload "
        "ignores; repeat for more, each added to the default, less the default globs that a "
        f"--reload-include matches (default: {' '.join(_default('reload_excludes'))})",
    )
    group.add_argument(
        "--reload-delay",
        metavar="SECONDS",
        type=_non_negative_float,
        default=_default("reload_delay"),
        help="seconds without further changes before --reload restarts, so that a change written "
        "in several steps restarts once (default: %(default)s)",
    )


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="python -m tessaryne",
        usage="%(prog)s [OPTIONS] APP",
        description="Serve an ASGI application on one event loop per thread, in one free-threaded process. "
        "The options are uvicorn's where uvicorn has the same one.",
    )
    parser.add_argument("--version", action="version", version=_version(), help="print the version and exit")
    parser.add_argument("app", help="the application, as module:attribute (for example tessaryne.demo:app)")
    # One group each, in the order --help lists them.
    for add_group in (
        _listening_options,
        _application_options,
        _process_options,
        _protocol_options,
        _limit_options,
        _response_options,
        _static_options,
        _websocket_options,
        _tls_options,
        _logging_options,
        _development_options,
    ):
        add_group(parser)
    return parser


def configuration(argv: Sequence[str] | None = None) -> Config:
    """The settings a command line asks for; UsageError for one that cannot
    be served. It changes nothing: the server applies --env-file and
    --app-dir before it imports the application (loading.prepare_import)."""
    options = _parser().parse_args(argv)
    if options.interface == "asgi2":
        # Accepted for uvicorn's command lines, and no setting: only the command line knows it.
        raise UsageError(
            "--interface asgi2: tessaryne serves ASGI 3 applications, async def app(scope, receive, send), "
            "and WSGI ones (--interface wsgi)"
        )
    includes, excludes = _reload_globs(options.reload_includes or [], options.reload_excludes or [])
    # Every option whose name is a setting's sets it; the rest are read here.
    # Config checks what the settings say together.
    settings = {f.name: getattr(options, f.name) for f in dataclasses.fields(Config) if hasattr(options, f.name)}
    if options.workers is None:
        # As uvicorn: the environment's process count gives way to --reload.
        settings["workers"] = (0 if options.reload else _web_concurrency()) or _default("workers")
    return Config(
        **{
            **settings,
            "app_name": options.app,
            "headers": tuple(options.headers),
            "static_path_mount": tuple(options.static_path_mount),
            "static_path_route": tuple(options.static_path_route),
            "reload_dirs": tuple(options.reload_dirs or ()),
            "reload_includes": includes,
            "reload_excludes": excludes,
        }
    )


def main(argv: Sequence[str] | None = None) -> int:
    try:
        config = configuration(argv)
        configure_logging(config)
        run(config)
    except (UsageError, StartupError) as error:
        print(f"tessaryne: error: {_one_line(str(error))}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
